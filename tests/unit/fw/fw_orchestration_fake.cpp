#include "fw_orchestration_fake.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "fw/fw_ctx.h"
#include "fw_target.h"

UpgradeCtx g_UpgradeCtx;

namespace {

std::mutex g_lock;
std::vector<StatusReport> g_reports;
int g_versionResets = 0;

}  // namespace

int PLR_FW_Send_Upgrade_Status(int result, int progress) {
    std::lock_guard l(g_lock);
    g_reports.push_back({result, progress});
    return 0;
}

void PLR_FW_SetVersionFactory() {
    std::lock_guard l(g_lock);
    ++g_versionResets;
}

int PLR_FW_GenFileMD5(const char* path, char* out, size_t size) {
    std::ifstream in(path, std::ios::binary);
    if (!in || size < 33) return -1;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string md5 = fw_target_md5(bytes);
    std::memcpy(out, md5.c_str(), md5.size() + 1);
    return 0;
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
