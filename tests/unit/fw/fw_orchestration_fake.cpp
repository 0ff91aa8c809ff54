#include "fw_orchestration_fake.h"

#include <mutex>

namespace {

std::mutex g_lock;
std::vector<StatusReport> g_reports;
int g_versionResets = 0;

}  // namespace

int fake_report_status(int result, int progress) {
    std::lock_guard l(g_lock);
    g_reports.push_back({result, progress});
    return 0;
}

void fake_version_factory() {
    std::lock_guard l(g_lock);
    ++g_versionResets;
}

std::vector<StatusReport> fake_status_reports() {
    std::lock_guard l(g_lock);
    return g_reports;
}

int fake_version_resets() {
    std::lock_guard l(g_lock);
    return g_versionResets;
}

void fake_orchestration_reset() {
    std::lock_guard l(g_lock);
    g_reports.clear();
    g_versionResets = 0;
}
