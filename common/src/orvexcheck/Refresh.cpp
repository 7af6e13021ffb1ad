// STUB: a stand-in for the refresh, so that orvexcheck.exe links; the real
// RefreshStatusLog replaces this whole file. It runs nothing and says so.
#include "Refresh.h"

namespace orvex::check {

RefreshResult RefreshStatusLog(const std::string& installDir, const std::string& statusLogPath,
                               unsigned timeoutSeconds) {
    (void)installDir;
    (void)statusLogPath;
    (void)timeoutSeconds;
    RefreshResult result;
    result.outcome = RefreshOutcome::kCannotRun;
    result.detail = "This orvexcheck cannot run the status script";
    return result;
}

}  // namespace orvex::check
