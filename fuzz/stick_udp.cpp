// The stick datagrams (UDP 8867): each is relayed to the flight controller as
// it stands. The input is cut into datagrams of at most the receive buffer's
// size, the way the stick thread receives them.
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    fuzz::reset_mav_links();
    constexpr size_t kDatagram = 1024;
    for (size_t at = 0; at < size; at += kDatagram) {
        const size_t n = std::min(kDatagram, size - at);
        uart_mavlink_send_buff(data + at, static_cast<int32_t>(n));
    }
    if (UartRecorder::raw() != std::vector<uint8_t>(data, data + size)) abort();
    return 0;
}
