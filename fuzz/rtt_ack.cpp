// The datagrams the transport receives: acknowledgements on the
// acknowledgement port (scanned for records and handed to the transport's
// waiting sender) and, the other way round, transport frames as a relay or
// the phone's tool parses them. Both parsers see the same bytes.
#include <arpa/inet.h>

#include <cstring>

#include "fs/fs_wire.h"
#include "fs/udp_rtt.h"
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    const std::span<const uint8_t> bytes(data, size);
    uint32_t stamp = 0;
    const int records = rtt_ack_scan(bytes, &stamp);
    if (records < 0) abort();
    sockaddr_in phone{};
    phone.sin_family = AF_INET;
    phone.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rtt_ack_process(data, size, &phone);
    UdpFrame frame{};
    if (udp_parse_frame(bytes, &frame) == 0) {
        // A frame that parses builds back to the same bytes.
        std::vector<uint8_t> out(size);
        const size_t n = udp_build_frame(out, frame.stamp, frame.payload);
        if (n == 0 || n > size || memcmp(out.data(), data, n) != 0) abort();
    }
    return 0;
}
