#include "vbctl/vbctl_verbs.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kSurveyComponent = 192;

__attribute__((format(printf, 3, 4))) int fail(char* error, size_t size, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(error, size, fmt, args);
    va_end(args);
    return -1;
}

bool whole_number(const char* text, long lo, long hi, long* value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    *value = v;
    return true;
}

}  // namespace

int vbctl_parse_timelapse_verb(const char* what, long interval, long duration, VbctlSetRequest* out,
                               char* error, size_t error_size) {
    if (what == nullptr) return fail(error, error_size, "timelapse takes start|pause|resume|stop");
    if (strcmp(what, "start") == 0) {
        if (interval < 1 || interval > 255 || duration < 1 || duration > 255) {
            return fail(error, error_size,
                        "timelapse start needs --interval N and --duration S (1-255 each)");
        }
        char i[8];
        char d[8];
        snprintf(i, sizeof i, "%ld", interval);
        snprintf(d, sizeof d, "%ld", duration);
        const char* words[] = {"start", i, d};
        return vbctl_parse_set("timelapse", 3, words, out, error, error_size);
    }
    if (interval >= 0 || duration >= 0)
        return fail(error, error_size, "--interval and --duration go with timelapse start");
    if (strcmp(what, "resume") == 0) {
        // A start without parameters resumes the paused time-lapse.
        const char* words[] = {"start", "0", "0"};
        return vbctl_parse_set("timelapse", 3, words, out, error, error_size);
    }
    if (strcmp(what, "pause") == 0 || strcmp(what, "stop") == 0) {
        const char* words[] = {what};
        return vbctl_parse_set("timelapse", 1, words, out, error, error_size);
    }
    return fail(error, error_size, "timelapse takes start|pause|resume|stop");
}

int vbctl_parse_zoom_verb(const char* what, const char* tenths, VbctlZoomVerb* verb,
                          VbctlSetRequest* out, char* error, size_t error_size) {
    if (what != nullptr && (strcmp(what, "in") == 0 || strcmp(what, "out") == 0) &&
        tenths == nullptr) {
        *verb = strcmp(what, "in") == 0 ? VBCTL_ZOOM_IN : VBCTL_ZOOM_OUT;
        *out = VbctlSetRequest{};
        out->item = 23;
        out->params[0] = *verb == VBCTL_ZOOM_IN ? 1.0f : 0.0f;
        out->expect.kind = VBCTL_ANSWER_STATUS;
        out->expect.field = VBCTL_FIELD_ZOOM;
        out->expect.value1 = -1;
        return 0;
    }
    long t = 0;
    if (what != nullptr && strcmp(what, "set") == 0 && tenths != nullptr) {
        if (!whole_number(tenths, 10, 30, &t))
            return fail(error, error_size, "zoom set takes tenths 10-30 (1.0x to 3.0x), not %s",
                        tenths);
        *verb = VBCTL_ZOOM_SET;
        char percent[8];
        snprintf(percent, sizeof percent, "%ld", t * 10);
        const char* words[] = {percent};
        return vbctl_parse_set("zoom", 1, words, out, error, error_size);
    }
    return fail(error, error_size, "zoom takes in, out or set TENTHS");
}

int vbctl_build_wifi_channel(uint8_t seq, uint32_t channel, mavlink_message_t* msg) {
    mavlink_pelora_custom_config_t config{};
    snprintf(config.text, sizeof config.text, "%u", channel);
    return mavlink_msg_pelora_custom_config_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &config, msg);
}

int vbctl_build_wifi_survey(uint8_t seq, mavlink_message_t* msg) {
    const mavlink_param_request_list_t req{MAV_BOARD_VIDEO, 0};
    return mavlink_msg_param_request_list_pack(VBCTL_SYSID, kSurveyComponent, seq, &req, msg);
}

int vbctl_survey_row(const mavlink_message_t* msg, VbctlSurveyRow* row) {
    mavlink_pelora_param_value_t pv{};
    if (msg == nullptr || msg->compid != kSurveyComponent ||
        mavlink_msg_pelora_param_value_decode(msg, &pv) != 0) {
        return -1;
    }
    row->count = pv.count;
    row->index = pv.index;
    row->channel = pv.name;
    row->level = pv.text;
    row->inUse = pv.value == 1.0f;
    return 0;
}
