#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pelkan::platform {

// Leading decimal integer of `text`: optional blanks and sign, then digits; anything after the
// digits is ignored and text without digits gives 0. Values beyond the signed 32-bit range are
// clamped to it.
int32_t ParseLeadingInt(std::string_view text);

// Replaces the file at `path` with `bytes` through a temporary file (of a name of its own, flushed
// to the disk) renamed over it, so that a failed write never leaves a cut-off file and a reader
// sees either the old or the new contents. An existing file keeps its permissions; a symbolic link
// at `path` stays, and the file it leads to is replaced. Temporary files of earlier saves of the
// same file that can no longer finish (their process is gone, or they are older than ten minutes)
// are removed. Returns false when the file cannot be written, or is there but no regular file (a
// FIFO, a device, a folder), which is left as it is.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

// The file that `path` stands for: `path` itself, or the file its symbolic links lead to (which
// need not exist). A loop of links gives `path`.
std::string ResolveLinks(const std::string& path);

// Moves the file at `path` (the file its links lead to) aside to `path` + `suffix`, or, when that
// name is taken, `path` + `suffix` + "-1", "-2", ...; never replaces a file. Returns the new name, or
// "" (errno tells why) when the file cannot be moved.
std::string MoveFileAside(const std::string& path, const std::string& suffix);

// Reads the whole file at `path` (the file its links lead to); false when it does not exist or
// cannot be read. Only a regular file is read: a FIFO, a device or a folder is refused at once, with
// a line on stderr that names it (errno EINVAL).
bool ReadFileContents(const std::string& path, std::string* out);

// Which version of a file is on the disk: every replacement or write gives another stamp.
struct FileStamp {
  bool exists = false;
  uint64_t device = 0, inode = 0, size = 0;
  int64_t modified_ns = 0, changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// An exclusive lock that serialises the processes writing one file (the file itself is replaced by
// renaming, so the lock is taken on the companion file `path` + ".lock", which stays; beside the
// file the symbolic links of `path` lead to). Held while
// the object lives; also excludes other holders within the same process.
class FileLock {
 public:
  // Takes the lock of `path`, waiting up to `timeout_ms` (0: only tries). Null when another
  // holder keeps it that long, or the lock file cannot be created.
  static std::unique_ptr<FileLock> Acquire(const std::string& path, uint32_t timeout_ms);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_;
};

// An INI file ("private profile") held in memory as its lines, so that writing one key keeps every
// other line of the file (comments, unknown keys, blank lines, each line's own line ending: CR LF,
// LF or CR, and a UTF-8 byte order mark at the start, which is skipped when reading and kept when
// writing). Texts are bytes as stored (the program keeps them in Shift-JIS); nothing is converted. Section
// and key names are matched regardless of ASCII case; the first section of a name and the first key
// of a name within it count. Blanks around names and values are ignored. Lines starting with ';'
// are comments. Not thread-safe: one owner at a time.
class Profile {
 public:
  // Replaces the contents with the file at `path` (read by ReadFileContents). Returns false (and
  // leaves the profile empty) when the file does not exist, cannot be read or is no regular file.
  bool Load(const std::string& path);
  // Replaces the contents with `bytes`, an INI text.
  void Parse(std::string_view bytes);
  // The whole text as it would be written.
  std::string Serialize() const;
  // Writes the text to `path` through a temporary file renamed over it, so that a failed write
  // never leaves a cut-off file. Returns false when the file cannot be written.
  bool Save(const std::string& path) const;

  // Value of `key` in `section`, or nullopt when the section or key is absent.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // Value of the key; `def` when it is absent. A key present with an empty value gives "".
  std::string GetString(std::string_view section, std::string_view key, std::string_view def) const;
  // Leading decimal integer of the value (ParseLeadingInt); `def` when the key is absent or its
  // value is empty.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t def) const;
  // True when a section of that name exists.
  bool HasSection(std::string_view section) const;
  // Names of the sections in file order, as written.
  std::vector<std::string> SectionNames() const;

  // Sets the key to `value`: rewrites the key's line in place, or adds the line after the last
  // key of the section, or appends the section at the end of the file. `value` must not contain
  // line breaks (they are cut off at the first one).
  void SetString(std::string_view section, std::string_view key, std::string_view value);
  // Sets the key to the value written with "%d".
  void SetInt(std::string_view section, std::string_view key, int32_t value);

 private:
  struct Line {
    std::string text;
    std::string eol;  // "\r\n", "\n", "\r" or "" (only for a last line without a break)
  };
  struct SectionIndex {
    size_t header = 0;                             // line of "[name]"
    size_t last_content = 0;                       // last non-blank line of the section (header when none)
    std::unordered_map<std::string, size_t> keys;  // lower-case key -> first line
  };

  void BuildIndex() const;
  const SectionIndex* FindSection(std::string_view section) const;
  std::string Eol() const;

  std::vector<Line> lines_;
  bool byte_order_mark_ = false;
  std::string default_eol_ = "\r\n";
  mutable bool index_valid_ = false;
  mutable std::unordered_map<std::string, SectionIndex> index_;
};

}  // namespace pelkan::platform
