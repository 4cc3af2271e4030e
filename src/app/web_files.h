#pragma once

#include <string>

#include "output/http_reply.h"

namespace pelkan {

// The folder of the web page's files: PELKAN_WEB_DIR when set, else share/pelkan/web beside the
// program's bin/ (as installed), else web/ of the source tree it was built from.
std::string WebFolder();

// The page's file that `path` names ("/" is index.html) in `folder`, with its type. Only a name
// of letters, digits, '-' and '_' with one known extension, directly in the folder, is served:
// anything else ("..", "%2e%2e" decoded, a sub-folder, a hidden file) is 404, as is a file that
// is not there.
HttpReply WebFile(const std::string& folder, const std::string& path);

}  // namespace pelkan
