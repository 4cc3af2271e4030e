#include "library/recording_trash.h"

#include <cstdint>

#include "platform/shared_library.h"

namespace pelkan {
namespace {

// What GIO's functions take and give, as its headers lay them out.
struct GFile;
struct GCancellable;
struct GError {
  uint32_t domain;
  int code;
  char* message;
};
using GFileNewForPath = GFile*(const char* path);
using GFileTrash = int(GFile* file, GCancellable* cancellable, GError** error);
using GObjectUnref = void(void* object);
using GErrorFree = void(GError* error);

struct GioTable {
  GFileNewForPath* file_new_for_path = nullptr;
  GFileTrash* file_trash = nullptr;
  GObjectUnref* object_unref = nullptr;
  GErrorFree* error_free = nullptr;
};

const GioTable* Gio(std::string* error) {
  return platform::LoadLibraryTable<GioTable>(
      "libgio-2.0.so.0",
      [](platform::SharedLibrary& library, GioTable& t) {
        return library.Resolve("g_file_new_for_path", &t.file_new_for_path) &&
               library.Resolve("g_file_trash", &t.file_trash) && library.Resolve("g_object_unref", &t.object_unref) &&
               library.Resolve("g_error_free", &t.error_free);
      },
      error);
}

}  // namespace

bool TrashFile(const std::string& path, std::string* error) {
  std::string why;
  const GioTable* gio = Gio(&why);
  if (gio == nullptr) {
    if (error) *error = "the trash cannot be reached (" + why + ")";
    return false;
  }
  GFile* file = gio->file_new_for_path(path.c_str());
  if (file == nullptr) {
    if (error) *error = path + ": not a path";
    return false;
  }
  GError* failure = nullptr;
  const bool ok = gio->file_trash(file, nullptr, &failure) != 0;
  if (!ok && error) *error = path + ": " + (failure && failure->message ? failure->message : "cannot be trashed");
  if (failure) gio->error_free(failure);
  gio->object_unref(file);
  return ok;
}

}  // namespace pelkan
