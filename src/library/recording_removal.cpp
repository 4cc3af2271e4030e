#include "library/recording_removal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "library/recording_trash.h"

namespace pelkan {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool RemoveRecording(RecordingLibrary& library, const LibraryEntry& entry, RemovalKind kind, bool force,
                     std::string* error, const std::function<bool(const std::string&, std::string*)>& trash) {
  const std::string name = "recording " + std::to_string(entry.id);
  if (!force && kind != RemovalKind::kForget && entry.recording) {
    if (error) *error = name + " is being recorded (--force removes it anyway)";
    return false;
  }
  if (!force && kind != RemovalKind::kForget && entry.is_protected) {
    if (error) *error = name + " is protected (--force removes it anyway)";
    return false;
  }
  if (kind != RemovalKind::kForget) {
    for (const std::string& path : {entry.file, entry.report}) {
      if (!Exists(path)) continue;
      if (kind == RemovalKind::kTrash) {
        if (!(trash ? trash(path, error) : TrashFile(path, error))) return false;
      } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
      }
    }
  }
  if (!library.Forget(entry.id)) {
    if (error) *error = name + ": the catalogue cannot be written";
    return false;
  }
  return true;
}

}  // namespace pelkan
