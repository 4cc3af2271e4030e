#include "app/http_tokens.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/home_folder.h"
#include "app/settings.h"

namespace pelkan {

namespace {

constexpr size_t kTokenBytes = 32;

std::optional<std::string> RandomToken() {
  unsigned char bytes[kTokenBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

bool IsToken(const std::string& text) {
  return text.size() == kTokenBytes * 2 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Writes `tokens` to a new file beside `path` (readable by the user alone) and puts it in its place.
bool WriteTokens(const std::string& path, const HttpTokens& tokens, std::string* error) {
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = "view=" + tokens.view + "\ncontrol=" + tokens.control + "\n";
  const bool written =
      ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string HttpTokensPath() {
  return JoinPath(HomeFolder(), "http-tokens");
}

std::optional<HttpTokens> RotateHttpTokens(const std::string& path, std::string* error) {
  HttpTokens tokens;
  std::optional<std::string> view = RandomToken(), control = RandomToken();
  if (!view || !control) {
    *error = std::string("no random bytes: ") + std::strerror(errno);
    return std::nullopt;
  }
  tokens.view = std::move(*view);
  tokens.control = std::move(*control);
  if (!WriteTokens(path, tokens, error)) return std::nullopt;
  return tokens;
}

std::optional<HttpTokens> LoadHttpTokens(const std::string& path, std::string* error) {
  std::ifstream in(path);
  HttpTokens tokens;
  std::string line;
  while (in && std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "view") tokens.view = value;
    if (key == "control") tokens.control = value;
  }
  if (IsToken(tokens.view) && IsToken(tokens.control) && tokens.view != tokens.control) {
    // A file another user may read is made private again.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) ::chmod(path.c_str(), 0600);
    return tokens;
  }
  return RotateHttpTokens(path, error);
}

}  // namespace pelkan
