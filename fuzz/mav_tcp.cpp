// The phone's TCP link: a byte stream of MAVLink frames (checksums fixed up)
// through the link's parser into the phone dispatch and its handlers. An
// input of odd length arrives while the repeater, which answers on this link,
// is upgrading.
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    fuzz::reset_mav_links();
    const fuzz::UpgradeInProgress upgrade(size % 2 == 1 ? FW_SYS_REPEATER : FW_SYS_NONE);
    const std::vector<uint8_t> bytes = fuzz::with_mavlink_checksums(data, size);
    PLR_MAV_MessageProcess(bytes.data(), bytes.size());
    return 0;
}
