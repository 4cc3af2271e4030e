#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <thread>

namespace pelkan::platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// What a file that is not a regular one is, for the line that refuses it.
const char* FileKindText(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no file";
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  line.remove_prefix(1);
  const size_t close = line.find(']');
  if (close != std::string_view::npos) line = line.substr(0, close);
  return Trim(line);
}

// Splits a "key=value" line; false for comments and lines without '='.
bool SplitKey(std::string_view line, std::string_view* key, std::string_view* value) {
  const std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return false;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return !key->empty();
}

std::string_view FirstLine(std::string_view s) {
  const size_t cut = s.find_first_of("\r\n");
  return cut == std::string_view::npos ? s : s.substr(0, cut);
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A temporary file of a save older than this cannot belong to a save still running.
constexpr int64_t kStaleTemporarySeconds = 600;
// Symbolic links followed at most, as the system does.
constexpr int kMaxLinks = 40;

// Splits `path` into its folder ("." for none) and its last component.
void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir->assign(".");
    name->assign(path);
  } else {
    dir->assign(slash == 0 ? "/" : path.substr(0, slash));
    name->assign(path.substr(slash + 1));
  }
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The six characters mkstemp puts at the end of a temporary name.
bool IsTemporarySuffix(std::string_view s) {
  if (s.size() != 6) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// Removes the temporary files that saves of `name` in `dir` left behind when they were killed:
// "<name>.tmp.<pid>.XXXXXX" of a process that no longer runs, and any "<name>.tmp.XXXXXX" or
// "<name>.tmp.<pid>.XXXXXX" older than kStaleTemporarySeconds. Only regular files of this user.
void RemoveStaleTemporaries(const std::string& dir, const std::string& name) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  const std::string prefix = name + ".tmp.";
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  while (const dirent* e = ::readdir(d)) {
    const std::string_view entry(e->d_name);
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
    std::string_view rest = entry.substr(prefix.size());
    long pid = 0;
    const size_t dot = rest.find('.');
    if (dot != std::string_view::npos) {
      if (!AllDigits(rest.substr(0, dot)) || dot > 9) continue;
      pid = std::strtol(std::string(rest.substr(0, dot)).c_str(), nullptr, 10);
      rest = rest.substr(dot + 1);
    }
    if (!IsTemporarySuffix(rest)) continue;
    const std::string full = dir + "/" + std::string(entry);
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    const bool old = now - static_cast<int64_t>(st.st_mtim.tv_sec) > kStaleTemporarySeconds;
    const bool orphan =
        pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    if (old || orphan) ::unlink(full.c_str());
  }
  ::closedir(d);
}

}  // namespace

int32_t ParseLeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{1} << 32;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < kLimit) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

bool Profile::Load(const std::string& path) {
  lines_.clear();
  index_valid_ = false;
  std::string bytes;
  if (!ReadFileContents(path, &bytes)) return false;
  Parse(bytes);
  return true;
}

void Profile::Parse(std::string_view bytes) {
  lines_.clear();
  index_valid_ = false;
  default_eol_ = "\r\n";
  // Editors that save UTF-8 may put a byte order mark first; it would hide the first section.
  byte_order_mark_ = bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark;
  if (byte_order_mark_) bytes.remove_prefix(kByteOrderMark.size());
  bool first_break = true;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t brk = bytes.find_first_of("\r\n", pos);
    std::string_view text = bytes.substr(pos);
    std::string_view eol;
    if (brk == std::string_view::npos) {
      pos = bytes.size();
    } else {
      text = bytes.substr(pos, brk - pos);
      if (bytes[brk] == '\n') {
        eol = "\n";
      } else if (brk + 1 < bytes.size() && bytes[brk + 1] == '\n') {
        eol = "\r\n";
      } else {
        eol = "\r";
      }
      pos = brk + eol.size();
      // New lines follow the style the file already uses.
      if (first_break) default_eol_.assign(eol);
      first_break = false;
    }
    lines_.push_back(Line{std::string(text), std::string(eol)});
  }
}

std::string Profile::Serialize() const {
  std::string out;
  if (byte_order_mark_) out.assign(kByteOrderMark);
  for (const Line& l : lines_) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return current;
    target.resize(static_cast<size_t>(n));
    if (target.front() != '/') {
      // A relative link leads from the link's own folder.
      const size_t slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = target;
  }
  return path;
}

std::string MoveFileAside(const std::string& path, const std::string& suffix) {
  const std::string from = ResolveLinks(path);
  for (unsigned n = 0; n < 10000; ++n) {
    const std::string to = from + suffix + (n == 0 ? std::string() : std::string("-").append(std::to_string(n)));
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return to;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return std::string();
    // A file system without the no-replace rename: a second name (refused when taken), then the
    // first one removed.
    if (::link(from.c_str(), to.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return std::string();
    }
    ::unlink(from.c_str());
    return to;
  }
  errno = EEXIST;
  return std::string();
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  // A symbolic link (schedule.ini kept elsewhere) stays; the file it leads to is replaced.
  const std::string target = ResolveLinks(path);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) {
    // A FIFO or a device (a link to /dev/zero) is never replaced by a file.
    errno = EINVAL;
    return false;
  }
  std::string dir, name;
  SplitPath(target, &dir, &name);
  RemoveStaleTemporaries(dir, name);
  std::string tmp = target + ".tmp." + std::to_string(::getpid()) + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  ::fchmod(fd, existed ? (old.st_mode & 07777) : 0644);
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), target.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ReadFileContents(const std::string& path, std::string* out) {
  // Opened without waiting (a FIFO would block until a writer comes) and read only when it is a
  // regular file: a FIFO never ends, a device such as /dev/zero gives bytes without end.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  const bool stat_ok = ::fstat(fd, &st) == 0;
  if (!stat_ok || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (stat_ok) {
      std::fprintf(stderr, "%s: %s is %s, not a regular file; it is not read\n", program_invocation_short_name,
                   path.c_str(), FileKindText(st.st_mode));
    }
    errno = EINVAL;
    return false;
  }
  out->clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      // An I/O error: not read.
      ::close(fd);
      return n == 0;
    }
  }
}

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.modified_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changed_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return stamp;
}

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, uint32_t timeout_ms) {
  // Beside the file itself: every writer takes the same lock, whichever link it goes through.
  const std::string lock_path = ResolveLinks(path) + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<FileLock>(new FileLock(fd));
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
  return nullptr;
}

FileLock::~FileLock() {
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

bool Profile::Save(const std::string& path) const {
  return ReplaceFileContents(path, Serialize());
}

std::string Profile::Eol() const {
  return default_eol_;
}

void Profile::BuildIndex() const {
  index_.clear();
  SectionIndex* current = nullptr;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string& text = lines_[i].text;
    if (const auto name = SectionName(text)) {
      const auto [it, inserted] = index_.try_emplace(Lower(*name));
      // A repeated section name: its keys are not reachable, as the first section counts.
      current = inserted ? &it->second : nullptr;
      if (current != nullptr) current->header = current->last_content = i;
      continue;
    }
    if (current == nullptr) continue;
    if (!Trim(text).empty()) current->last_content = i;
    std::string_view key, value;
    if (SplitKey(text, &key, &value)) current->keys.try_emplace(Lower(key), i);
  }
  index_valid_ = true;
}

const Profile::SectionIndex* Profile::FindSection(std::string_view section) const {
  if (!index_valid_) BuildIndex();
  const auto it = index_.find(Lower(Trim(section)));
  return it == index_.end() ? nullptr : &it->second;
}

std::optional<std::string> Profile::Find(std::string_view section, std::string_view key) const {
  const SectionIndex* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  const auto it = s->keys.find(Lower(Trim(key)));
  if (it == s->keys.end()) return std::nullopt;
  std::string_view k, value;
  SplitKey(lines_[it->second].text, &k, &value);
  return std::string(value);
}

std::string Profile::GetString(std::string_view section, std::string_view key, std::string_view def) const {
  const auto v = Find(section, key);
  return v ? *v : std::string(def);
}

int32_t Profile::GetInt(std::string_view section, std::string_view key, int32_t def) const {
  const auto v = Find(section, key);
  if (!v || v->empty()) return def;
  return ParseLeadingInt(*v);
}

bool Profile::HasSection(std::string_view section) const {
  return FindSection(section) != nullptr;
}

std::vector<std::string> Profile::SectionNames() const {
  std::vector<std::string> names;
  for (const Line& l : lines_) {
    if (const auto name = SectionName(l.text)) names.emplace_back(*name);
  }
  return names;
}

void Profile::SetString(std::string_view section, std::string_view key, std::string_view value) {
  section = FirstLine(Trim(section));
  key = FirstLine(Trim(key));
  std::string text(key);
  text.push_back('=');
  text.append(FirstLine(value));
  if (const SectionIndex* s = FindSection(section)) {
    const auto it = s->keys.find(Lower(key));
    if (it != s->keys.end()) {
      lines_[it->second].text = text;
      return;  // no line moved: the index stays valid
    }
    const size_t at = s->last_content + 1;
    // The line before the insertion point may be a last line without a break.
    if (lines_[at - 1].eol.empty()) lines_[at - 1].eol = Eol();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{text, Eol()});
    index_valid_ = false;
    return;
  }
  if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = Eol();
  std::string header("[");
  header.append(section);
  header.push_back(']');
  lines_.push_back(Line{std::move(header), Eol()});
  lines_.push_back(Line{text, Eol()});
  index_valid_ = false;
}

void Profile::SetInt(std::string_view section, std::string_view key, int32_t value) {
  SetString(section, key, std::to_string(value));
}

}  // namespace pelkan::platform
