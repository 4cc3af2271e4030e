#pragma once

#include <string>

namespace pelkan::platform {

// A shared library opened at run time (dlopen) instead of linked, so that a program resolves its
// symbols only when the feature that needs it is first used, and starts even where it is missing.
// The handle is closed with the object. Not thread-safe by itself: the function tables built on it
// are filled once, under the guard of a function-local static.
class SharedLibrary {
 public:
  // Opens the library of `soname` ("libsystemd.so.0"); IsOpen() tells whether that worked.
  explicit SharedLibrary(const char* soname);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool IsOpen() const { return handle_ != nullptr; }
  // Why the library, or the first symbol that failed, could not be had ("" while nothing failed).
  const std::string& error() const { return error_; }

  // Sets `*function` to the library's `symbol` (nullptr when it has none); false, with error()
  // naming the symbol, when it is missing. `F` is the function's type: decltype(::name).
  template <typename F>
  bool Resolve(const char* symbol, F** function) {
    void* address = Find(symbol);
    *function = reinterpret_cast<F*>(address);
    return address != nullptr;
  }

 private:
  void* Find(const char* symbol);

  void* handle_ = nullptr;
  std::string soname_;
  std::string error_;
};

// The function table `Table` of the library `soname`: opened and filled by `resolve(library,
// table)` (true when it found every member) on the first call, thread-safe, and kept until the
// program ends, so that its functions stay callable from any thread. nullptr when the library or
// one of its functions is missing, `*error` (if given) then saying why. Call it from one function
// per table (the table is kept per `resolve` type).
template <typename Table, typename ResolveFn>
const Table* LoadLibraryTable(const char* soname, ResolveFn resolve, std::string* error) {
  struct Loaded {
    explicit Loaded(const char* name) : library(name) {}
    SharedLibrary library;
    Table table{};
    bool complete = false;
  };
  static const Loaded* const loaded = [soname, &resolve] {
    auto* l = new Loaded(soname);
    l->complete = l->library.IsOpen() && resolve(l->library, l->table);
    return l;
  }();
  if (!loaded->complete && error != nullptr) *error = loaded->library.error();
  return loaded->complete ? &loaded->table : nullptr;
}

}  // namespace pelkan::platform
