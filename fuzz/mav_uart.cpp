// The flight controller's serial line: a byte stream of MAVLink frames
// (checksums fixed up) through the link's parser into the flight-controller
// dispatch (link status, GPS, local handling, relay to the phone).
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    fuzz::reset_mav_links();
    const std::vector<uint8_t> bytes = fuzz::with_mavlink_checksums(data, size);
    uart_message_handler(bytes.data(), bytes.size());
    return 0;
}
