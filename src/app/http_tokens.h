#pragma once

#include <optional>
#include <string>

namespace pelkan {

// The HTTP server's two secrets, 256 random bits each in hexadecimal: the view token (watching,
// the playlist, the guide, reading the API beyond loopback) and the control token (every change).
struct HttpTokens {
  std::string view;
  std::string control;
};

// http-tokens beside pelkan.ini.
std::string HttpTokensPath();

// The tokens of `path`; new ones are made and written (mode 0600) when the file is missing or
// holds no two tokens. nullopt, with *error (English), when they can be neither read nor written.
std::optional<HttpTokens> LoadHttpTokens(const std::string& path, std::string* error);
// New tokens in place of those of `path` (the old ones stop working at the server's next start).
std::optional<HttpTokens> RotateHttpTokens(const std::string& path, std::string* error);

}  // namespace pelkan
