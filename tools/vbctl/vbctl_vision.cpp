#include "vbctl/vbctl_vision.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mav/mavlink_msgs.h"
#include "track/track_report.h"
#include "vbctl/vbctl_proto.h"

namespace {

constexpr uint16_t kCmdDigicamControl = 203;
constexpr uint8_t kTrackSwitch = 11;
constexpr uint8_t kApronSwitch = 12;
constexpr uint8_t kSwitchOn = 1;
constexpr uint8_t kSwitchOff = 4;

int send_or_fail(VbctlLink* link, const mavlink_message_t* msg) {
    if (vbctl_link_send(link, msg) == 0) return 0;
    fprintf(stderr, "vbctl: the link to the board broke while sending\n");
    return 1;
}

int send_switch(VbctlLink* link, uint8_t component, bool on) {
    mavlink_command_long_t cmd{};
    cmd.command = kCmdDigicamControl;
    cmd.target_system = MAV_BOARD_VIDEO;
    cmd.target_component = component;
    cmd.confirmation = on ? kSwitchOn : kSwitchOff;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(VBCTL_SYSID, VBCTL_COMPID, vbctl_link_next_seq(link), &cmd, &msg);
    return send_or_fail(link, &msg);
}

struct Printer {
    uint8_t compid;
    const char* name;
    uint64_t boxes = 0;
    uint64_t reports = 0;
};

// Prints one report line: "<name> box t=MS x=.. y=.. w=.. h=.. state=.. score=..",
// "<name> none t=MS" or "<name> lost code=N".
int on_report(const mavlink_message_t* msg, void* context) {
    Printer* p = static_cast<Printer*>(context);
    if (msg->msgid != MAVLINK_MSG_ID_VISION_POSITION_ESTIMATE || msg->compid != p->compid) return 0;
    mavlink_vision_position_estimate_t vp{};
    if (mavlink_msg_vision_position_estimate_decode(msg, &vp) != 0) return 0;
    TrackReport r{};
    PLR_TRACK_UnpackReport(vp, &r);
    ++p->reports;
    if (r.timeMs == 0 && r.count == 0) {
        printf("%s lost code=%u\n", p->name, r.code);
    } else if (r.count == 0) {
        printf("%s none t=%" PRIu64 "\n", p->name, r.timeMs);
    } else {
        ++p->boxes;
        printf("%s box t=%" PRIu64 " x=%u y=%u w=%u h=%u state=%u score=%u index=%u count=%u\n",
               p->name, r.timeMs, r.x, r.y, r.w, r.h, r.kind, r.word4, r.index, r.count);
    }
    fflush(stdout);
    return 0;
}

// Prints reports until the time is up, Ctrl-C or the link closes.
int print_reports(VbctlLink* link, Printer* p, const VbctlVisionRun& run) {
    const int64_t end_at =
        run.seconds_given ? vbctl_now_ms() + static_cast<int64_t>(run.seconds * 1000) : INT64_MAX;
    const int end = vbctl_link_pump(link, end_at, on_report, p);
    if (end == VBCTL_PUMP_CLOSED) {
        fprintf(stderr, "vbctl: the board closed the link\n");
        return 1;
    }
    return 0;
}

bool parse_int(const char* text, long lo, long hi, long* value) {
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *value = v;
    return true;
}

}  // namespace

bool vbctl_parse_box(const char* text, uint32_t box[4]) {
    if (text == nullptr) return false;
    char copy[64];
    if (snprintf(copy, sizeof copy, "%s", text) >= static_cast<int>(sizeof copy)) return false;
    char* save = nullptr;
    int n = 0;
    for (char* tok = strtok_r(copy, ",", &save); tok != nullptr;
         tok = strtok_r(nullptr, ",", &save)) {
        long v = 0;
        if (n >= 4 || !parse_int(tok, n < 2 ? -32768 : 0, 65535, &v)) return false;
        box[n++] = static_cast<uint32_t>(v) & 0xFFFFu;
    }
    return n == 4;
}

int vbctl_track_box(VbctlLink* link, const uint32_t box[4], const VbctlVisionRun& run) {
    if (send_switch(link, kTrackSwitch, true) != 0) return 1;
    const TrackTarget target{box[0], box[1], box[2], box[3], 0, 0};  // command 0: a new target
    mavlink_vision_position_estimate_t vp{};
    PLR_TRACK_PackTarget(target, &vp);
    mavlink_message_t msg;
    mavlink_msg_vision_position_estimate_pack(VBCTL_SYSID, VBCTL_COMPID, vbctl_link_next_seq(link),
                                              &vp, &msg);
    if (send_or_fail(link, &msg) != 0) return 1;
    Printer p{TRACK_REPORT_COMPID, "track"};
    if (print_reports(link, &p, run) != 0) return 1;
    if (p.boxes == 0) {
        fprintf(stderr,
                "vbctl: no tracking box was reported (%" PRIu64
                " other reports; is the box on the picture and landing-pad detection off?)\n",
                p.reports);
        return 1;
    }
    return 0;
}

int vbctl_track_off(VbctlLink* link) {
    if (send_switch(link, kTrackSwitch, false) != 0) return 1;
    printf("tracking off\n");
    return 0;
}

int vbctl_landpad(VbctlLink* link, bool on, const VbctlVisionRun& run) {
    if (send_switch(link, kApronSwitch, on) != 0) return 1;
    if (!on) {
        printf("landing-pad detection off\n");
        return 0;
    }
    Printer p{APRON_REPORT_COMPID, "landpad"};
    if (print_reports(link, &p, run) != 0) return 1;
    if (p.reports == 0) {
        fprintf(stderr, "vbctl: no landing-pad report arrived (is tracking off?)\n");
        return 1;
    }
    return 0;
}
