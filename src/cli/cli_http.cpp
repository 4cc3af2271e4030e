// pelkan-cli http: the address of the web page with its control token, and the tokens' renewal.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/http_tokens.h"
#include "app/offline_schedule.h"
#include "cli/cli_commands.h"
#include "cli/option_parser.h"
#include "output/http_access.h"
#include "output/http_stream_server.h"
#include "platform/text_codec.h"

namespace pelkan::cli {
namespace {

constexpr char kName[] = "pelkan-cli http";

std::optional<HttpTokens> Tokens(bool rotate) {
  std::string error;
  const std::optional<HttpTokens> tokens =
      rotate ? RotateHttpTokens(HttpTokensPath(), &error) : LoadHttpTokens(HttpTokensPath(), &error);
  if (!tokens) std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
  return tokens;
}

// "HOST" of a URL: an IPv6 address in brackets.
std::string UrlHost(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

int Url(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli http url\n"
                      "The web page's address with the control token (open it once in the browser that is\n"
                      "to steer the recorder: the page keeps the token), one for each address the server\n"
                      "is reached at, from HTTP_ADDRESS and HTTP_PORT of pelkan.ini.\n",
                      {}, 10);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const std::optional<HttpTokens> tokens = Tokens(false);
  if (!tokens) return 1;
  const Settings settings = LoadedSettings();
  const std::string address = platform::SjisToUtf8(settings.http_address);
  const std::string port = std::to_string(settings.http_port);
  std::vector<std::string> hosts;
  if (address == "0.0.0.0" || address == "::") {
    // Every address of the machine (an IPv4 wildcard listens on IPv4 alone).
    hosts.push_back("localhost");
    for (const std::string& a : MachineAddresses()) {
      const bool v6 = a.find(':') != std::string::npos;
      if (IsLoopbackAddress(a) || (address == "0.0.0.0" && v6) || a.starts_with("fe80:")) continue;
      hosts.push_back(UrlHost(a));
    }
  } else {
    hosts.push_back(IsLoopbackAddress(address) ? "localhost" : UrlHost(address));
  }
  for (const std::string& host : hosts)
    std::printf("http://%s:%s/#token=%s\n", host.c_str(), port.c_str(), tokens->control.c_str());
  if (settings.http_enabled == 0) {
    std::fprintf(stderr, "%s: HTTP_ENABLED is off: the server runs only with 'pelkan-cli capture --http'\n",
                 kName);
  }
  return 0;
}

int Token(int argc, char** argv) {
  bool rotate = false;
  OptionParser parser(kName,
                      "Usage: pelkan-cli http token [--rotate]\n"
                      "The view token players add to the stream's, playlist's and guide's URLs as ?t=\n"
                      "when the server is open to the network.\n\n",
                      {}, 12);
  parser.Flag("--rotate",
              "replace both tokens (the view and the control token) with new ones; a\n"
              "running server takes them when it next starts, and every browser must\n"
              "open the address of 'http url' again",
              &rotate);
  if (const auto exit_code = parser.Parse(argc, argv)) return *exit_code;
  const std::optional<HttpTokens> tokens = Tokens(rotate);
  if (!tokens) return 1;
  std::printf("%s\n", tokens->view.c_str());
  return 0;
}

}  // namespace

int RunHttp(int argc, char** argv) {
  OptionParser parser(kName,
                      "Usage: pelkan-cli http url\n"
                      "       pelkan-cli http token [--rotate]\n"
                      "The HTTP server's web page and its tokens (http-tokens beside pelkan.ini).\n",
                      {}, 8);
  parser.Command("url", "the web page's address with the control token, to open once in a browser", Url);
  parser.Command("token", "the view token for players; --rotate replaces both tokens", Token);
  return parser.Parse(argc, argv).value_or(0);
}

}  // namespace pelkan::cli
