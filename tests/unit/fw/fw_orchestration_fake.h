// Fakes of what the board transfer reports to the upgrade orchestration: the
// status reports (recorded) and the version reset (counted).
#pragma once

#include <cstdint>
#include <vector>

struct StatusReport {
    int result;
    int progress;
    bool operator==(const StatusReport&) const = default;
};

int fake_report_status(int result, int progress);
void fake_version_factory();
std::vector<StatusReport> fake_status_reports();
int fake_version_resets();
void fake_orchestration_reset();
