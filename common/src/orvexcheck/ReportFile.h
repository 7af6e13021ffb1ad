// --output FILE: the report replaces FILE whole, so that a reader (a textfile
// collector scraping every few seconds) sees the old report or the new one,
// never part of one.
#ifndef ORVEX_CHECK_REPORT_FILE_H
#define ORVEX_CHECK_REPORT_FILE_H

#include <string>

namespace orvex::check {

// Writes text to a temporary file beside path (path + "." + process id +
// ".tmp", a name no collector reads), then renames it over path. On failure
// the temporary file is removed, path is left as it was, and error holds
// "Failure while writing file: <path> (<code>)".
bool ReplaceWhole(const std::string& path, const std::string& text, std::string& error);

}  // namespace orvex::check

#endif
