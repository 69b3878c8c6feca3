// What --help and --version print.
#pragma once

#include <string>

namespace tavo {

// How to use the program: the modes, the options with their values and whether they repeat, the
// exit statuses and one example per mode, all made from the table the parser reads, so the text
// cannot name a word the parser does not take or miss one it does. Lines fit 80 columns, examples
// aside; the text ends with a line feed.
std::string usage_text();

// "tavo-sandbox <version>" and a line feed: the version this build was made as.
std::string version_text();

}  // namespace tavo
