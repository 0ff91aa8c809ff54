// The MAVLink 2 parser of the ground-station endpoint over arbitrary bytes:
// every frame it takes is unpacked field by field through the message table,
// written again and parsed back, which must give the same message.
#include <cstring>

#include "cam2/mav2_frame.h"
#include "cam2/mav2_message.h"
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    Mav2Parser parser;
    Mav2Frame frame;
    for (size_t i = 0; i < size; ++i) {
        if (!parser.feed(data[i], &frame)) continue;
        const Mav2Message msg = frame.message();
        if (!msg.valid()) continue;
        for (const Mav2Field& f : msg.def()->fields) {
            for (size_t k = 0; k < (f.array_len == 0 ? 1 : f.array_len); ++k) {
                msg.get(f.name, k);
                msg.get_int(f.name, k);
            }
            msg.get_text(f.name);
        }
        uint8_t out[MAV2_MAX_FRAME];
        const size_t n = mav2_frame_write(out, msg, frame.seq, frame.sysid, frame.compid);
        if (n == 0) abort();
        Mav2Parser again;
        Mav2Frame back;
        bool parsed = false;
        for (size_t k = 0; k < n; ++k) parsed = again.feed(out[k], &back) || parsed;
        if (!parsed || back.msgid != frame.msgid) abort();
        const Mav2Message backMsg = back.message();
        if (memcmp(backMsg.payload().data(), msg.payload().data(), msg.payload().size()) != 0)
            abort();
    }
    return 0;
}
