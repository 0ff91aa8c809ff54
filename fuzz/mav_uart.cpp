// The flight controller's serial line: a byte stream of MAVLink frames
// (checksums fixed up) through the link's parser into the flight-controller
// dispatch (link status, GPS, local handling, relay to the phone). The input's
// length modulo 3 picks no upgrade, or the flight controller or the gimbal
// upgrading, whose answers go to the firmware transfer.
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    fuzz::reset_mav_links();
    static constexpr uint32_t kBoards[] = {FW_SYS_NONE, FW_SYS_FLYC, FW_SYS_GIMBAL};
    const fuzz::UpgradeInProgress upgrade(kBoards[size % 3]);
    const std::vector<uint8_t> bytes = fuzz::with_mavlink_checksums(data, size);
    uart_message_handler(bytes.data(), bytes.size());
    return 0;
}
