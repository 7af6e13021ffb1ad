// Where orvexcheck looks: the installation an executable lies in, and the two
// product files under an installation.
#ifndef ORVEX_CHECK_INSTALL_PATHS_H
#define ORVEX_CHECK_INSTALL_PATHS_H

#include <string>

namespace orvex::check {

// The install directory of an executable at exePath: the parent of the
// directory holding it, with separator as the path separator.
std::string InstallDirOf(const std::string& exePath, char separator);

struct CheckedFiles {
    std::string properties;
    std::string statusLog;
};

// etc<sep>status.properties and logs<sep>orvexStatus.log under installDir;
// separators at the end of installDir are dropped first.
CheckedFiles FilesUnder(std::string installDir, char separator);

}  // namespace orvex::check

#endif
