#include "app/web_files.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>

namespace pelkan {

namespace {

// Largest file served: the page's files are small.
constexpr std::uintmax_t kMostBytes = 4u << 20;

const char* TypeOf(std::string_view extension) {
  if (extension == "html") return "text/html; charset=utf-8";
  if (extension == "css") return "text/css; charset=utf-8";
  if (extension == "js") return "text/javascript; charset=utf-8";
  if (extension == "svg") return "image/svg+xml";
  if (extension == "png") return "image/png";
  if (extension == "json") return "application/json; charset=utf-8";
  return nullptr;
}

HttpReply NotFound() {
  return HttpReply{404, std::make_shared<const std::string>("not found\n"), "text/plain; charset=utf-8"};
}

}  // namespace

std::string WebFolder() {
  if (const char* dir = std::getenv("PELKAN_WEB_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path installed = program.parent_path().parent_path() / "share" / "pelkan" / "web";
    if (std::filesystem::is_regular_file(installed / "index.html", ec)) return installed.string();
  }
  return PELKAN_WEB_SOURCE_DIR;
}

HttpReply WebFile(const std::string& folder, const std::string& path) {
  if (path.empty() || path[0] != '/') return NotFound();
  const std::string name = path == "/" ? "index.html" : path.substr(1);
  if (name.empty() || name.size() > 64) return NotFound();
  size_t dots = 0;
  for (char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (c == '.')
      ++dots;
    else if (!plain)
      return NotFound();
  }
  const size_t dot = name.find('.');
  if (dots != 1 || dot == 0) return NotFound();
  const char* type = TypeOf(std::string_view(name).substr(dot + 1));
  if (type == nullptr) return NotFound();
  const std::filesystem::path file = std::filesystem::path(folder) / name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec) || std::filesystem::file_size(file, ec) > kMostBytes) {
    return NotFound();
  }
  std::ifstream in(file, std::ios::binary);
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return NotFound();
  return HttpReply{200, std::make_shared<const std::string>(std::move(body)), type};
}

}  // namespace pelkan
