#include "output/http_file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>

#include "output/http_reply.h"
#include "output/microhttpd_library.h"

namespace pelkan {

namespace {

// The decimal number of the whole of `text`; nullopt for anything else (signs, spaces, overflow).
std::optional<uint64_t> Number(std::string_view text) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// realpath(3) of `path`; "" when it cannot be resolved.
std::string Real(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  std::string out = real != nullptr ? real : "";
  std::free(real);
  return out;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

HttpByteRange ChooseByteRange(const char* range_header, uint64_t size, bool growing) {
  const HttpByteRange whole{200, 0, growing ? std::nullopt : std::optional<uint64_t>(size == 0 ? 0 : size - 1)};
  if (range_header == nullptr) return whole;
  const std::string_view header = Trimmed(range_header);
  const size_t equals = header.find('=');
  if (equals == std::string_view::npos || !EqualsNoCase(Trimmed(header.substr(0, equals)), "bytes")) return whole;
  const std::string_view bounds = Trimmed(header.substr(equals + 1));
  const size_t dash = bounds.find('-');
  if (bounds.find(',') != std::string_view::npos || dash == std::string_view::npos) return whole;
  const std::string_view from = Trimmed(bounds.substr(0, dash));
  const std::string_view to = Trimmed(bounds.substr(dash + 1));
  const HttpByteRange unsatisfiable{416, 0, std::nullopt};
  if (from.empty()) {
    // The last N bytes (of a growing file, of what it holds now).
    const std::optional<uint64_t> suffix = Number(to);
    if (!suffix) return whole;
    if (*suffix == 0 || size == 0) return unsatisfiable;
    return {206, size - std::min(*suffix, size), size - 1};
  }
  const std::optional<uint64_t> first = Number(from);
  const std::optional<uint64_t> last = to.empty() ? std::nullopt : Number(to);
  if (!first || (!to.empty() && (!last || *last < *first))) return whole;
  // What a player asks first ("bytes=0-") is the whole file, also of one that holds nothing yet.
  if (*first == 0 && !last && growing) return whole;
  if (*first >= size) return unsatisfiable;
  if (!last && growing) return {206, *first, std::nullopt};
  return {206, *first, std::min(last.value_or(size - 1), size - 1)};
}

std::unique_ptr<HttpFileStream> HttpFileStream::Open(const HttpFileSource& source, const char* range_header,
                                                     Refusal* refusal) {
  // The file itself, or a link to a file of the same folder: a link that leads elsewhere would
  // let the catalogue serve what it does not hold.
  const std::string real = Real(source.path);
  if (real.empty()) {
    *refusal = {404, "the recording's file is not there", 0};
    return nullptr;
  }
  if (Folder(real) != Real(Folder(source.path))) {
    *refusal = {403, "the recording's file lies outside its folder", 0};
    return nullptr;
  }
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    *refusal = {404, "the recording's file is not there", 0};
    return nullptr;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  const bool growing = source.writing && source.writing();
  const HttpByteRange range = ChooseByteRange(range_header, size, growing);
  if (range.status == 416) {
    ::close(fd);
    *refusal = {416, "the range is beyond the recording", size};
    return nullptr;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<HttpFileStream>(new HttpFileStream(fd, source, size, range));
}

HttpFileStream::HttpFileStream(int fd, HttpFileSource source, uint64_t size, HttpByteRange range)
    : fd_(fd), source_(std::move(source)), size_(size), range_(range), next_(range.first) {}

HttpFileStream::~HttpFileStream() {
  ::close(fd_);
}

std::optional<uint64_t> HttpFileStream::length() const {
  if (!range_.last) return std::nullopt;
  return size_ == 0 ? 0 : *range_.last - range_.first + 1;
}

void HttpFileStream::AddHeaders(MHD_Response* response) const {
  const MicrohttpdLibrary& mhd = *Microhttpd();
  AddCommonHeaders(response, "video/mp2t");
  mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
  if (range_.status != 206) return;
  // A part of a growing file: its length is not known yet ("*"), its end is where it stood.
  const std::string range = "bytes " + std::to_string(range_.first) + "-" +
                            std::to_string(range_.last.value_or(size_ - 1)) + "/" +
                            (range_.last ? std::to_string(size_) : std::string("*"));
  mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, range.c_str());
}

ssize_t HttpFileStream::Take(uint8_t* out, size_t max) {
  if (range_.last && (size_ == 0 || next_ > *range_.last)) return kEnd;
  const size_t want = range_.last ? static_cast<size_t>(std::min<uint64_t>(max, *range_.last - next_ + 1)) : max;
  const auto read = [&] {
    ssize_t n;
    do {
      n = ::pread(fd_, out, want, static_cast<off_t>(next_));
    } while (n < 0 && errno == EINTR);
    if (n > 0) next_ += static_cast<uint64_t>(n);
    return n;
  };
  ssize_t n = read();
  if (n != 0) return n > 0 ? n : kFailed;
  // A file of known length cut short.
  if (range_.last) return kFailed;
  // At the end of a growing file: asked before reading again, so that what the recorder wrote
  // before it let the file go is still sent.
  if (source_.writing && source_.writing()) return kWait;
  n = read();
  return n > 0 ? n : n == 0 ? kEnd : kFailed;
}

int QueueFileRefusal(MHD_Connection* connection, const HttpFileStream::Refusal& refusal) {
  const MicrohttpdLibrary& mhd = *Microhttpd();
  const std::string body = refusal.text + "\n";
  MHD_Response* response =
      mhd.MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  AddCommonHeaders(response, "text/plain; charset=utf-8");
  if (refusal.status == 416) {
    const std::string range = "bytes */" + std::to_string(refusal.size);
    mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, range.c_str());
  }
  const MHD_Result result = mhd.MHD_queue_response(connection, refusal.status, response);
  mhd.MHD_destroy_response(response);
  return result;
}

}  // namespace pelkan
