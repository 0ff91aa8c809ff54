// Fakes of what the board transfer uses from the upgrade orchestration: the
// shared context, the status reports (recorded), the version reset (counted)
// and the MD5 of a file.
#pragma once

#include <cstdint>
#include <vector>

struct StatusReport {
    int result;
    int progress;
    bool operator==(const StatusReport&) const = default;
};

std::vector<StatusReport> fake_status_reports();
int fake_version_resets();
void fake_orchestration_reset();
