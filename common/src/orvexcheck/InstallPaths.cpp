#include "InstallPaths.h"

#include <algorithm>
#include <cstddef>

#include "HostLogic.h"
#include "Pieces.h"

namespace orvex::check {

std::string InstallDirOf(const std::string& exePath, char separator) {
    if (separator == '\\') {
        return DeriveServicePaths(exePath).installDir;
    }
    const auto parent = [separator](const std::string& path) {
        const std::size_t last = path.rfind(separator);
        return last == std::string::npos ? path : path.substr(0, last);
    };
    return parent(parent(exePath));
}

CheckedFiles FilesUnder(std::string installDir, char separator) {
    while (!installDir.empty() && (installDir.back() == separator || installDir.back() == '/')) {
        installDir.pop_back();
    }
    CheckedFiles files{Cat({installDir, text::kPropertiesRelativePath}), Cat({installDir, "\\logs\\orvexStatus.log"})};
    if (separator != '\\') {
        std::replace(files.properties.begin() + static_cast<std::ptrdiff_t>(installDir.size()), files.properties.end(),
                     '\\', separator);
        std::replace(files.statusLog.begin() + static_cast<std::ptrdiff_t>(installDir.size()), files.statusLog.end(),
                     '\\', separator);
    }
    return files;
}

}  // namespace orvex::check
