#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct MHD_Connection;
struct MHD_Response;

namespace pelkan {

// A recording's file as the HTTP server sends it (the owner's site names it; the URL held only
// its id).
struct HttpFileSource {
  std::string path;  // the catalogued file (UTF-8)
  std::string name;  // the request's path, as the server's clients list shows it ("/recordings/12")
  // Whether the recorder still writes the file: while it does, a response that reaches the file's
  // end waits for more instead of ending. Called on the serving thread when a client has caught
  // up with the file, so it must be quick. Null: a finished file.
  std::function<bool()> writing;
};

// The part of a file a request asks for (its Range header), as RFC 9110 judges it:
//   no Range, another unit, several ranges or one that is no range: the whole file (200);
//   "bytes=F-L", "bytes=F-", "bytes=-N" (the last N): that part (206), its end cut to the file's;
//   a part that begins beyond the file, or "-0": unsatisfiable (416).
// Of a file still being written, "bytes=F-" and the whole file follow it as it grows (`last`
// nullopt; "bytes=0-", which players ask first, is the whole file, 200); a part with an end is cut
// to the size at the request.
struct HttpByteRange {
  unsigned status = 200;  // 200, 206 or 416
  uint64_t first = 0;
  std::optional<uint64_t> last;  // inclusive; nullopt: to the end of the growing file
};
HttpByteRange ChooseByteRange(const char* range_header, uint64_t size, bool growing);

// One response's reading of a file: from its first byte to its last (or, while the file is being
// written, on as it grows until the recorder lets it go), in pieces as the client takes them.
// Opened on the serving thread (open and fstat, no reading); Take reads at most one piece.
class HttpFileStream {
 public:
  // What Take gives when it gives no bytes.
  static constexpr ssize_t kWait = 0;    // nothing yet: the file grows
  static constexpr ssize_t kEnd = -1;    // everything was sent
  static constexpr ssize_t kFailed = -2;  // the file can no longer be read (cut short, a read error)

  // A refusal of Open: its status (403, 404, 416), text and the file's size (for 416's header).
  struct Refusal {
    unsigned status = 404;
    std::string text;
    uint64_t size = 0;
  };

  // The file of `source` for a request with `range_header` (null: none). A file that is missing or
  // not a regular file is 404; one reached through a symbolic link that leads out of its folder
  // 403; a range beyond it 416.
  static std::unique_ptr<HttpFileStream> Open(const HttpFileSource& source, const char* range_header,
                                              Refusal* refusal);
  ~HttpFileStream();
  HttpFileStream(const HttpFileStream&) = delete;
  HttpFileStream& operator=(const HttpFileStream&) = delete;

  unsigned status() const { return range_.status; }
  // The response's length; nullopt while it follows a growing file (chunked).
  std::optional<uint64_t> length() const;
  // Content-Type, Accept-Ranges and, for a part, Content-Range.
  void AddHeaders(MHD_Response* response) const;

  // Reads the next piece into `out` (at most `max` bytes): its length, or kWait, kEnd, kFailed.
  ssize_t Take(uint8_t* out, size_t max);
  uint64_t sent() const { return next_ - range_.first; }

 private:
  HttpFileStream(int fd, HttpFileSource source, uint64_t size, HttpByteRange range);

  int fd_;
  HttpFileSource source_;
  uint64_t size_;  // at the request
  HttpByteRange range_;
  uint64_t next_;
};

// The refusal of Open as an answer (416 with its Content-Range) that closes the connection.
int QueueFileRefusal(MHD_Connection* connection, const HttpFileStream::Refusal& refusal);

}  // namespace pelkan
