#include "core/http_server_settings.h"

#include <algorithm>

#include "platform/text_codec.h"

namespace pelkan {

bool ApplyHttpSettings(const Settings& settings, HttpServerConfig* config, std::string* error) {
  config->address = platform::SjisToUtf8(settings.http_address);
  // 0 (only a front-end sets it; the file's range starts at 1) takes a free port.
  const int32_t port_max = SettingKeyOf(&Settings::http_port).max;
  config->port = static_cast<uint16_t>(std::clamp(settings.http_port, 0, port_max));
  config->max_clients =
      static_cast<uint32_t>(SettingKeyOf(&Settings::http_max_clients).Clamp(settings.http_max_clients));
  if (!ParseHttpNetworks(platform::SjisToUtf8(settings.http_allow), &config->access.allow, error)) {
    *error = "HTTP_ALLOW: " + *error;
    return false;
  }
  const std::string hosts = platform::SjisToUtf8(settings.http_hosts);
  for (size_t at = 0; at < hosts.size();) {
    const size_t end = std::min(hosts.find_first_of(", ", at), hosts.size());
    if (end > at) config->access.hosts.push_back(hosts.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

}  // namespace pelkan
