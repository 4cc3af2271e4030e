#include "output/http_reply.h"

#include <algorithm>
#include <cstring>

#include "output/microhttpd_library.h"

namespace pelkan {

namespace {

// Most bytes of a document handed to the library at once.
constexpr size_t kDocumentPiece = 64u << 10;

ssize_t ReadDocument(void* cls, uint64_t pos, char* buf, size_t max) {
  const std::string& document = **static_cast<HttpDocument*>(cls);
  if (pos >= document.size()) return MHD_CONTENT_READER_END_OF_STREAM;
  const size_t n = std::min<size_t>(max, document.size() - static_cast<size_t>(pos));
  std::memcpy(buf, document.data() + pos, n);
  return static_cast<ssize_t>(n);
}

void FreeDocument(void* cls) {
  delete static_cast<HttpDocument*>(cls);
}

}  // namespace

void AddCommonHeaders(MHD_Response* response, const char* type) {
  const MicrohttpdLibrary& mhd = *Microhttpd();
  mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
  mhd.MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  mhd.MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
}

int QueueReply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
               const char* allow, bool close) {
  const MicrohttpdLibrary& mhd = *Microhttpd();
  MHD_Response* response =
      mhd.MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  AddCommonHeaders(response, type);
  if (allow != nullptr) mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  if (close) mhd.MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result result = mhd.MHD_queue_response(connection, status, response);
  mhd.MHD_destroy_response(response);
  return result;
}

int QueueText(MHD_Connection* connection, unsigned status, const char* text, bool close, const char* allow) {
  return QueueReply(connection, status, std::string(text) + "\n", "text/plain; charset=utf-8", allow, close);
}

int QueueDocument(MHD_Connection* connection, HttpReply reply) {
  const MicrohttpdLibrary& mhd = *Microhttpd();
  if (!reply.body) reply.body = std::make_shared<const std::string>();
  const size_t size = reply.body->size();
  MHD_Response* response = mhd.MHD_create_response_from_callback(
      size, kDocumentPiece, &ReadDocument, new HttpDocument(std::move(reply.body)), &FreeDocument);
  if (response == nullptr) return MHD_NO;
  AddCommonHeaders(response, reply.type.c_str());
  const MHD_Result result = mhd.MHD_queue_response(connection, reply.status, response);
  mhd.MHD_destroy_response(response);
  return result;
}

}  // namespace pelkan
