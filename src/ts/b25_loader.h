#pragma once

#include <string>
#include <vector>

#include "ts/b25_decoder.h"

namespace pelkan {

// The outside decoder plugin B25Decoder.so, opened with dlopen. The library is looked up next to
// the running executable first, then by name through the dynamic linker's search path
// (LD_LIBRARY_PATH, the system's library directories). Owned by one thread at a time; the handle is
// closed by Unload or the destructor. Virtual so that tests can stand in for the plugin.
class B25Library {
 public:
  // File name of the plugin.
  static constexpr char kFileName[] = "B25Decoder.so";
  // Name of the factory export.
  static constexpr char kFactoryName[] = "CreateB25Decoder";

  B25Library();
  virtual ~B25Library();
  B25Library(const B25Library&) = delete;
  B25Library& operator=(const B25Library&) = delete;

  // Opens the first candidate that loads (see SetCandidates). Returns false when none does;
  // GetError then tells why the last one failed.
  virtual bool Load();
  // The factory export, or null when it is missing or nothing is loaded.
  virtual CreateB25DecoderFn GetFactory();
  // Closes the library; every object made by its factory must have been released before.
  virtual void Unload();
  bool IsLoaded() const { return handle_ != nullptr; }
  // The dynamic linker's message for the last failed Load or GetFactory ("" when none).
  const std::string& GetError() const { return error_; }

  // Replaces the places tried by Load: paths (with a slash) or bare names for the search path.
  void SetCandidates(std::vector<std::string> candidates) { candidates_ = std::move(candidates); }
  // The default places: "<directory of the executable>/B25Decoder.so", the installed place
  // "<directory of the executable>/../lib/pelkan/B25Decoder.so", then "B25Decoder.so".
  static std::vector<std::string> DefaultCandidates();

 private:
  void* handle_ = nullptr;
  std::vector<std::string> candidates_;
  std::string error_;
};

}  // namespace pelkan
