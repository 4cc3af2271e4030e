#pragma once

#include <string>

#include "core/settings.h"
#include "output/http_stream_server.h"

namespace pelkan {

// The HTTP server's configuration as the settings' HTTP_* keys give it, over what the front-end
// already set in `config` (its pages' options, the tokens): the address, the port (0 takes a free
// one), the client limit, the allowed networks and the host names. False, with the reason in
// `error`, when HTTP_ALLOW does not read as a list of networks.
bool ApplyHttpSettings(const Settings& settings, HttpServerConfig* config, std::string* error);

}  // namespace pelkan
