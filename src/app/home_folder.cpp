#include "app/home_folder.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "app/settings.h"

namespace pelkan {

namespace {

std::mutex g_home_mutex;
std::string g_home;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string WithoutTrailingSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// `dir` from `current_dir`, without "." and ".." steps.
std::string Absolute(const std::string& dir, const std::string& current_dir) {
  const std::string joined = !dir.empty() && dir[0] == '/' ? dir : JoinPath(current_dir, dir);
  return WithoutTrailingSlash(std::filesystem::path(joined).lexically_normal().string());
}

// --home, else PELKAN_HOME; nullopt when neither is given.
std::optional<Home> ChosenHome(const HomeInputs& in) {
  if (in.flag && !in.flag->empty()) return Home{Absolute(*in.flag, in.current_dir), HomeSource::kFlag};
  if (!in.pelkan_home.empty()) return Home{Absolute(in.pelkan_home, in.current_dir), HomeSource::kPelkanHome};
  return std::nullopt;
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when something of that name exists.
bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// The first line of what `command` prints, when it exits 0.
std::optional<std::string> FirstLineOf(const char* command) {
  FILE* pipe = ::popen(command, "re");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buf[512];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = ::pclose(pipe);
  if (status != 0) return std::nullopt;
  const size_t nl = out.find('\n');
  if (nl != std::string::npos) out.resize(nl);
  return out;
}

bool OnPath(const std::string& program) {
  std::stringstream path(Env("PATH"));
  std::string dir;
  while (std::getline(path, dir, ':')) {
    if (!dir.empty() && ::access(JoinPath(dir, program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

HomeInputs HomeInputsFromEnvironment(std::optional<std::string> flag) {
  HomeInputs in;
  in.flag = std::move(flag);
  in.pelkan_home = Env("PELKAN_HOME");
  in.xdg_data_home = Env("XDG_DATA_HOME");
  in.user_home = Env("HOME");
  in.current_dir = CurrentDirectory();
  return in;
}

Home DesktopHome(const HomeInputs& in) {
  if (auto chosen = ChosenHome(in)) return *chosen;
  if (!in.xdg_data_home.empty() && in.xdg_data_home[0] == '/')
    return Home{WithoutTrailingSlash(JoinPath(in.xdg_data_home, "pelkan")), HomeSource::kXdgData};
  if (!in.user_home.empty() && in.user_home[0] == '/')
    return Home{WithoutTrailingSlash(JoinPath(in.user_home, ".local/share/pelkan")), HomeSource::kXdgData};
  return Home{WithoutTrailingSlash(in.current_dir), HomeSource::kCurrentDirectory};
}

Home CliHome(const HomeInputs& in) {
  if (auto chosen = ChosenHome(in)) return *chosen;
  return Home{WithoutTrailingSlash(in.current_dir), HomeSource::kCurrentDirectory};
}

bool MakeHomeFolder(const std::string& dir, std::string* error) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = slash == std::string::npos ? dir : dir.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot make " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  if (!IsDirectory(dir)) {
    *error = dir + " is not a folder";
    return false;
  }
  return true;
}

std::string HomeFolder() {
  {
    std::lock_guard<std::mutex> lock(g_home_mutex);
    if (!g_home.empty()) return g_home;
  }
  return CurrentDirectory();
}

void SetHomeFolder(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_home_mutex);
  g_home = dir;
}

VideosLookup VideosLookupFromEnvironment() {
  VideosLookup lookup;
  lookup.ask_xdg_user_dir = []() -> std::optional<std::string> {
    if (!OnPath("xdg-user-dir")) return std::nullopt;
    return FirstLineOf("xdg-user-dir VIDEOS 2>/dev/null");
  };
  lookup.user_home = Env("HOME");
  lookup.xdg_config_home = Env("XDG_CONFIG_HOME");
  return lookup;
}

std::string VideosDirFromUserDirs(const std::string& text, const std::string& user_home) {
  std::istringstream lines(text);
  std::string line;
  std::string found;
  while (std::getline(lines, line)) {
    const std::string key = "XDG_VIDEOS_DIR=";
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      if (user_home.empty()) continue;
      found = WithoutTrailingSlash(user_home + value.substr(5));
    } else if (!value.empty() && value[0] == '/') {
      found = WithoutTrailingSlash(value);
    }
  }
  return found;
}

std::string VideosFolder(const VideosLookup& lookup, const std::string& fallback) {
  // xdg-user-dir answers the home itself for a folder that is not set up: no videos folder.
  const auto usable = [&lookup](const std::string& dir) {
    return IsDirectory(dir) && WithoutTrailingSlash(dir) != WithoutTrailingSlash(lookup.user_home);
  };
  if (lookup.ask_xdg_user_dir) {
    if (auto answer = lookup.ask_xdg_user_dir(); answer && usable(*answer)) return WithoutTrailingSlash(*answer);
  }
  std::string config = lookup.xdg_config_home;
  if (config.empty() || config[0] != '/') config = lookup.user_home.empty() ? "" : JoinPath(lookup.user_home, ".config");
  if (!config.empty()) {
    std::ifstream in(JoinPath(config, "user-dirs.dirs"));
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::string dir = VideosDirFromUserDirs(text, lookup.user_home);
    if (usable(dir)) return dir;
  }
  return fallback;
}

DesktopHomeStart StartDesktopHome(const HomeInputs& in, const VideosLookup& videos) {
  DesktopHomeStart start;
  start.dir = DesktopHome(in).dir;
  start.record_dir = start.dir;
  std::string error;
  if (!MakeHomeFolder(start.dir, &error)) {
    start.notices.push_back("ホームフォルダ " + start.dir + " を作れません。\n(" + error + ")");
  }
  if (Exists(JoinPath(start.dir, "pelkan.ini"))) return start;
  // Without a videos folder: ~/Videos/pelkan, made now that a new home first records (never the
  // bare home folder); the home itself only when even HOME is unknown.
  const bool user_home = !videos.user_home.empty() && videos.user_home[0] == '/';
  const std::string own = user_home ? JoinPath(WithoutTrailingSlash(videos.user_home), "Videos/pelkan") : start.dir;
  start.record_dir = VideosFolder(videos, own);
  if (start.record_dir == own && user_home) {
    std::error_code ec;
    std::filesystem::create_directories(own, ec);
    if (ec) start.notices.push_back("録画フォルダ " + own + " を作れません。\n(" + ec.message() + ")");
  }
  // Earlier starts kept the files in the current directory (the user's home folder from the menu).
  const std::string& old_dir = in.current_dir;
  if (old_dir != start.dir &&
      (Exists(JoinPath(old_dir, "pelkan.ini")) || Exists(JoinPath(old_dir, "schedule.ini")))) {
    start.notices.push_back("設定と予約のファイルの場所が変わりました。\n以前の場所: " + old_dir + "\n今の場所: " +
                            start.dir + "\n以前のファイルを使うには、今の場所へ移してください。");
  }
  return start;
}

}  // namespace pelkan
