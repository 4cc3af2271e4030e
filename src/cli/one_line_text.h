#pragma once

#include <string>
#include <string_view>

namespace pelkan::cli {

// `text` for an output of one line per record (the text tables of list, epg, check and inspect,
// the messages naming a file): a line feed, carriage return or tab inside a title or a file name
// is written as \n, \r or \t, so that it neither ends the line nor makes a column.
std::string OneLineText(std::string_view text);

}  // namespace pelkan::cli
