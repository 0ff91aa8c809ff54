#include "vbctl/vbctl_proto.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Appends printf-formatted text at `*used` without overrunning `size`; `*used`
// counts what would have been written, as snprintf does.
__attribute__((format(printf, 4, 5))) void append(char* out, size_t size, size_t* used,
                                                  const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char* at = (out != nullptr && *used < size) ? out + *used : nullptr;
    const size_t room = (at != nullptr) ? size - *used : 0;
    const int n = vsnprintf(at, room, fmt, args);
    va_end(args);
    if (n > 0) *used += static_cast<size_t>(n);
}

int finish(char* out, size_t size, size_t used) {
    if (out != nullptr && size > 0 && used >= size) out[size - 1] = '\0';
    if (out != nullptr && size > 0 && used == 0) out[0] = '\0';
    return static_cast<int>(used);
}

// Strict decimal integer in [lo, hi].
bool parse_int(const char* text, long lo, long hi, long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *value = v;
    return true;
}

__attribute__((format(printf, 3, 4))) int fail(char* error, size_t size, const char* fmt, ...) {
    if (error != nullptr && size > 0) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(error, size, fmt, args);
        va_end(args);
    }
    return -1;
}

struct Word {
    const char* word;
    int value;
};

// A value given by one of `words` or as a number in [lo, hi].
bool parse_word(const char* text, const Word* words, size_t count, long lo, long hi, long* value) {
    for (size_t i = 0; i < count; ++i) {
        if (text != nullptr && strcmp(text, words[i].word) == 0) {
            *value = words[i].value;
            return true;
        }
    }
    return parse_int(text, lo, hi, value);
}

struct ResolutionInfo {
    const char* alias;
    const char* text;
};

// Phone resolution codes 0-13.
constexpr ResolutionInfo kResolutions[] = {
    {"2160p25", "3840x2160 25 fps"}, {"2160p30", "3840x2160 30 fps"},
    {"2160p60", "3840x2160 60 fps"}, {"1520p25", "2704x1520 25 fps"},
    {"1520p30", "2704x1520 30 fps"}, {"1520p60", "2704x1520 60 fps"},
    {"1080p25", "1920x1080 25 fps"}, {"1080p30", "1920x1080 30 fps"},
    {"1080p60", "1920x1080 60 fps"}, {"1080p120", "1920x1080 120 fps"},
    {"720p25", "1280x720 25 fps"},   {"720p30", "1280x720 30 fps"},
    {"720p60", "1280x720 60 fps"},   {"720p120", "1280x720 120 fps"},
};

constexpr Word kPictureModes[] = {{"single", 0},     {"hdr", 1},       {"continuous", 2},
                                  {"bracketing", 3}, {"timelapse", 4}, {"panorama", 5}};

// Parameter item parsers: fill params and the expected answer from the values.
using ItemParser = int (*)(uint8_t item, int argc, const char* const* argv, VbctlSetRequest* out,
                           char* error, size_t error_size);

struct ItemDef {
    VbctlItemInfo info;
    ItemParser parse;
    VbctlStatusField field;  // for the parsers that confirm through one field
    long lo, hi;             // numeric range of a one-value item
};

void expect_status(VbctlSetRequest* out, VbctlStatusField field, int32_t value) {
    out->expect.kind = VBCTL_ANSWER_STATUS;
    out->expect.field = field;
    out->expect.value = value;
}

void expect_pelora_ack(VbctlSetRequest* out, uint8_t item, int16_t value1) {
    out->expect.kind = VBCTL_ANSWER_PELORA_ACK;
    out->expect.item = item;
    out->expect.value1 = value1;
}

int need_args(int argc, int want, const char* name, const char* usage, char* error, size_t size) {
    if (argc == want) return 0;
    return fail(error, size, "%s takes %s", name, usage);
}

const ItemDef* find_item(uint8_t item);

// One number in the item's range, shown as such in the report (masked to the
// field's width by the board).
int parse_plain(uint8_t item, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
                size_t size) {
    const ItemDef* def = find_item(item);
    long v = 0;
    if (need_args(argc, 1, def->info.name, def->info.usage, error, size) != 0) return -1;
    if (!parse_int(argv[0], def->lo, def->hi, &v)) {
        return fail(error, size, "%s takes %s, not \"%s\"", def->info.name, def->info.usage,
                    argv[0]);
    }
    out->params[0] = static_cast<float>(v);
    expect_status(out, def->field, static_cast<int32_t>(v));
    return 0;
}

// One of a few words (or its number).
template <const Word* kWords, size_t kCount>
int parse_words(uint8_t item, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
                size_t size) {
    const ItemDef* def = find_item(item);
    long v = 0;
    if (need_args(argc, 1, def->info.name, def->info.usage, error, size) != 0) return -1;
    if (!parse_word(argv[0], kWords, kCount, def->lo, def->hi, &v)) {
        return fail(error, size, "%s takes %s, not \"%s\"", def->info.name, def->info.usage,
                    argv[0]);
    }
    out->params[0] = static_cast<float>(v);
    expect_status(out, def->field, static_cast<int32_t>(v));
    return 0;
}

int parse_resolution(uint8_t, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
                     size_t size) {
    if (need_args(argc, 1, "resolution", "CODE|NAME", error, size) != 0) return -1;
    long code = -1;
    for (size_t i = 0; i < std::size(kResolutions); ++i) {
        if (strcmp(argv[0], kResolutions[i].alias) == 0) code = static_cast<long>(i);
    }
    if (code < 0 && !parse_int(argv[0], 0, 13, &code)) {
        return fail(error, size,
                    "resolution takes a code 0-13 or a name such as 1080p30, not \"%s\"", argv[0]);
    }
    out->params[0] = static_cast<float>(code);
    expect_status(out, VBCTL_FIELD_RES_CODE, static_cast<int32_t>(code));
    return 0;
}

constexpr Word kExposure[] = {{"auto", 0}, {"manual", 1}};

int parse_exposure(uint8_t, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
                   size_t size) {
    long v = 0;
    if (need_args(argc, 1, "exposure", "auto|manual", error, size) != 0) return -1;
    if (!parse_word(argv[0], kExposure, std::size(kExposure), 0, 1, &v)) {
        return fail(error, size, "exposure takes auto or manual, not \"%s\"", argv[0]);
    }
    out->params[0] = static_cast<float>(v);
    expect_status(out, VBCTL_FIELD_AE_MODE, v != 0 ? 1 : 0);
    return 0;
}

constexpr Word kEvSteps[] = {{"up", 0}, {"down", 1}, {"reset", 2}};

int parse_ev(uint8_t, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
             size_t size) {
    long v = 0;
    if (need_args(argc, 1, "ev", "up|down|reset", error, size) != 0) return -1;
    if (!parse_word(argv[0], kEvSteps, std::size(kEvSteps), 0, 2, &v)) {
        return fail(error, size, "ev takes up, down or reset, not \"%s\"", argv[0]);
    }
    out->params[0] = static_cast<float>(v);
    expect_status(out, VBCTL_FIELD_EV, static_cast<int32_t>(v));
    out->expect.ev_step = true;
    return 0;
}

constexpr Word kPanorama[] = {{"sphere", 5}, {"wide", 6}, {"vertical", 7}, {"horizontal", 0}};
constexpr Word kPicFormat[] = {{"jpeg", 0}, {"raw", 1}};
constexpr Word kVideoMode[] = {{"normal", 0}, {"zoom", 2}};

int parse_metering(uint8_t item, int argc, const char* const* argv, VbctlSetRequest* out,
                   char* error, size_t size) {
    long x = 0;
    long y = 0;
    if (argc == 3 && strcmp(argv[0], "point") == 0 && parse_int(argv[1], 0, 65535, &x) &&
        parse_int(argv[2], 0, 65535, &y)) {
        out->params[0] = 1;
        out->params[1] = static_cast<float>(x);
        out->params[2] = static_cast<float>(y);
    } else if (argc == 2 && strcmp(argv[0], "lock") == 0 &&
               (strcmp(argv[1], "on") == 0 || strcmp(argv[1], "off") == 0)) {
        out->params[0] = 2;
        out->params[1] = strcmp(argv[1], "on") == 0 ? 1.0f : 0.0f;
    } else if (argc == 1 && strcmp(argv[0], "default") == 0) {
        out->params[0] = 0;
    } else {
        return fail(error, size, "metering takes point X Y, lock on|off or default");
    }
    expect_pelora_ack(out, item, -1);
    return 0;
}

int parse_timelapse(uint8_t item, int argc, const char* const* argv, VbctlSetRequest* out,
                    char* error, size_t size) {
    long interval = 0;
    long duration = 0;
    if (argc == 3 && strcmp(argv[0], "start") == 0 && parse_int(argv[1], 0, 255, &interval) &&
        parse_int(argv[2], 0, 255, &duration)) {
        out->params[0] = 0;
        out->params[1] = static_cast<float>(interval);
        out->params[2] = static_cast<float>(duration);
    } else if (argc == 1 && strcmp(argv[0], "pause") == 0) {
        out->params[0] = 1;
    } else if (argc == 1 && strcmp(argv[0], "stop") == 0) {
        out->params[0] = 2;
    } else {
        return fail(error, size,
                    "timelapse takes start INTERVAL DURATION (0-255 each), pause or stop");
    }
    expect_pelora_ack(out, item, -1);
    return 0;
}

int parse_zoom(uint8_t, int argc, const char* const* argv, VbctlSetRequest* out, char* error,
               size_t size) {
    long percent = 0;
    if (argc != 1 || !parse_int(argv[0], 100, 300, &percent)) {
        return fail(error, size, "zoom takes a percentage 100-300 (100 = 1x)");
    }
    // param2 non-zero selects "zoom to"; param1 would choose in/out steps.
    out->params[0] = 1;
    out->params[1] = static_cast<float>(percent);
    // The report shows tenths: percent / 10, limited to 1.0x..3.0x.
    expect_status(out, VBCTL_FIELD_ZOOM, static_cast<int32_t>(std::clamp(percent / 10, 10L, 30L)));
    return 0;
}

int parse_no_value(uint8_t item, int argc, VbctlSetRequest* out, char* error, size_t size,
                   int16_t value1) {
    const ItemDef* def = find_item(item);
    if (argc != 0) return fail(error, size, "%s takes no value", def->info.name);
    expect_pelora_ack(out, item, value1);
    return 0;
}

int parse_reset(uint8_t item, int argc, const char* const*, VbctlSetRequest* out, char* error,
                size_t size) {
    return parse_no_value(item, argc, out, error, size, -1);
}

int parse_format(uint8_t item, int argc, const char* const*, VbctlSetRequest* out, char* error,
                 size_t size) {
    // The first answer (value 0) says formatting started; value 1 says done.
    return parse_no_value(item, argc, out, error, size, 1);
}

int parse_white_balance(uint8_t, int argc, const char* const* argv, VbctlSetRequest* out,
                        char* error, size_t size) {
    long kelvin = 0;
    if (argc == 1 && strcmp(argv[0], "auto") == 0) {
        out->params[0] = 1;
        expect_status(out, VBCTL_FIELD_WB_MODE, 1);
        return 0;
    }
    if (argc != 1 || !parse_int(argv[0], 2000, 9900, &kelvin)) {
        return fail(error, size, "white-balance takes auto or a colour temperature 2000-9900 K");
    }
    out->params[0] = 0;  // manual: the temperature in units of 100 K
    out->params[1] = static_cast<float>(kelvin / 100);
    expect_status(out, VBCTL_FIELD_WB_MODE, 0);
    return 0;
}

// clang-format off
constexpr ItemDef kItems[] = {
    {{"resolution", 2, "CODE|NAME",
      "record resolution and frame rate: code 0-13 or 2160p25 2160p30 2160p60 1520p25 1520p30 "
      "1520p60 1080p25 1080p30 1080p60 1080p120 720p25 720p30 720p60 720p120"},
     parse_resolution, VBCTL_FIELD_RES_CODE, 0, 13},
    {{"iso", 3, "INDEX", "ISO index 0-12 (ISO 100 to 1600); applies in manual exposure"},
     parse_plain, VBCTL_FIELD_ISO, 0, 12},
    {{"ev", 4, "up|down|reset",
      "exposure compensation one step up or down (-9..9) or back to 0; automatic exposure only"},
     parse_ev, VBCTL_FIELD_EV, 0, 2},
    {{"exposure", 5, "auto|manual", "exposure mode"}, parse_exposure, VBCTL_FIELD_AE_MODE, 0, 1},
    {{"shutter", 6, "INDEX",
      "shutter index 0-52 (0 = 1/8000 s, 24 = 1/30 s, 38 = 1 s); applies in manual exposure"},
     parse_plain, VBCTL_FIELD_SHUTTER, 0, 52},
    {{"picture-mode", 7, "single|hdr|continuous|bracketing|timelapse|panorama",
      "picture mode for photos (0-5); refused while a photo is being taken"},
     parse_words<kPictureModes, std::size(kPictureModes)>, VBCTL_FIELD_SNAP_MODE, 0, 5},
    {{"picture-format", 8, "jpeg|raw", "picture format"},
     parse_words<kPicFormat, std::size(kPicFormat)>, VBCTL_FIELD_PIC_FMT, 0, 7},
    {{"capture-attr-2", 9, "0-3", "capture attribute 2 (kept for the phone)"}, parse_plain,
     VBCTL_FIELD_ATTR2, 0, 3},
    {{"capture-attr-4", 11, "0-31", "capture attribute 4 (kept for the phone)"}, parse_plain,
     VBCTL_FIELD_ATTR4, 0, 31},
    {{"burst-count", 12, "2-15", "photos per continuous shot"}, parse_plain,
     VBCTL_FIELD_CTI_SHOT, 2, 15},
    {{"capture-attr-6", 13, "0-15", "capture attribute 6 (kept for the phone)"}, parse_plain,
     VBCTL_FIELD_ATTR6, 0, 15},
    {{"photo-interval", 14, "0-31", "photo time-lapse interval"}, parse_plain,
     VBCTL_FIELD_SNAP_TLAPSE, 0, 31},
    {{"panorama", 15, "sphere|wide|vertical|horizontal", "panorama mode (5, 6, 7, 0)"},
     parse_words<kPanorama, std::size(kPanorama)>, VBCTL_FIELD_PANO_MODE, 0, 15},
    {{"metering", 16, "point X Y|lock on|off|default",
      "metering point in live-view pixels, exposure lock, or the default weights; photo mode "
      "only; answered with PELORA_ACK item 16"},
     parse_metering, VBCTL_FIELD_NONE, 0, 0},
    {{"timelapse", 22, "start INTERVAL DURATION|pause|stop",
      "video time-lapse; answered with PELORA_ACK item 22"},
     parse_timelapse, VBCTL_FIELD_NONE, 0, 0},
    {{"zoom", 23, "PERCENT", "digital zoom 100-300 % (photo mode, or record mode in zoom video mode)"},
     parse_zoom, VBCTL_FIELD_ZOOM, 100, 300},
    {{"reset", 24, "", "camera settings back to their defaults; answered with PELORA_ACK item 24"},
     parse_reset, VBCTL_FIELD_NONE, 0, 0},
    {{"sd-format", 25, "",
      "formats the card, erasing every file; answered with PELORA_ACK item 25 when formatting "
      "starts (value 0) and when it is done (value 1)"},
     parse_format, VBCTL_FIELD_NONE, 0, 0},
    {{"video-mode", 26, "normal|zoom", "video mode (0 normal, 2 zoom: zoom while recording)"},
     parse_words<kVideoMode, std::size(kVideoMode)>, VBCTL_FIELD_VIDEO_MODE, 0, 255},
    {{"white-balance", 29, "auto|KELVIN", "white balance: automatic or 2000-9900 K"},
     parse_white_balance, VBCTL_FIELD_WB_MODE, 0, 0},
    {{"day-night", 30, "0|1", "day/night mode (the camera refuses switching it)"}, parse_plain,
     VBCTL_FIELD_DN_MODE, 0, 1},
};
// clang-format on

const ItemDef* find_item(uint8_t item) {
    for (const ItemDef& def : kItems) {
        if (def.info.item == item) return &def;
    }
    return nullptr;
}

int build_command_long(uint8_t seq, const mavlink_command_long_t& cmd, mavlink_message_t* msg) {
    return mavlink_msg_command_long_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &cmd, msg);
}

}  // namespace

// ---------------------------------------------------------------------------
// Messages the phone sends

int vbctl_build_heartbeat(uint8_t seq, mavlink_message_t* msg) {
    // A ground station: type 6 (GCS), autopilot 8 (none). The board reads
    // only the arrival of the heartbeat from a directly connected phone.
    const mavlink_heartbeat_t hb{0, 6, 8, 0, 0, 3};
    return mavlink_msg_heartbeat_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &hb, msg);
}

int vbctl_build_media_command(uint8_t seq, VbctlMedia command, mavlink_message_t* msg) {
    mavlink_command_long_t cmd{};
    cmd.param1 = static_cast<float>(command);
    cmd.command = VBCTL_CMD_MEDIA;
    cmd.target_system = MAV_BOARD_VIDEO;
    return build_command_long(seq, cmd, msg);
}

int vbctl_build_set_parameter(uint8_t seq, uint8_t item, const float params[3],
                              mavlink_message_t* msg) {
    if (params == nullptr) return -1;
    mavlink_command_long_t cmd{};
    cmd.param1 = params[0];
    cmd.param2 = params[1];
    cmd.param3 = params[2];
    cmd.command = VBCTL_CMD_SET_PARAMETER;
    cmd.target_system = MAV_BOARD_VIDEO;
    cmd.target_component = item;
    return build_command_long(seq, cmd, msg);
}

int vbctl_build_param_request_list(uint8_t seq, mavlink_message_t* msg) {
    // Component id 192 in the header would ask for the Wi-Fi signal report
    // instead; the phone's component id 0 asks for the configuration.
    const mavlink_param_request_list_t req{MAV_BOARD_VIDEO, 0};
    return mavlink_msg_param_request_list_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &req, msg);
}

int vbctl_build_sd_request(uint8_t seq, mavlink_message_t* msg) {
    return mavlink_msg_pelora_sd_request_pack(VBCTL_SYSID, VBCTL_COMPID, seq, msg);
}

int vbctl_build_timesync(uint8_t seq, int64_t utc_ms, int32_t tz_hours, mavlink_message_t* msg) {
    const mavlink_timesync_t ts{utc_ms, tz_hours};
    return mavlink_msg_timesync_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &ts, msg);
}

int vbctl_build_data_stream(uint8_t seq, uint8_t on_off, mavlink_message_t* msg) {
    const mavlink_data_stream_t ds{0, 0, on_off};
    return mavlink_msg_data_stream_pack(VBCTL_SYSID, VBCTL_COMPID, seq, &ds, msg);
}

// ---------------------------------------------------------------------------
// Status report

uint32_t vbctl_float_bits(float value) {
    return std::bit_cast<uint32_t>(value);
}

int vbctl_is_status_report(const mavlink_command_long_t* cmd) {
    return cmd != nullptr && cmd->command == VBCTL_CMD_MEDIA && cmd->target_system == 0 &&
                   cmd->target_component == 0
               ? 1
               : 0;
}

int vbctl_status_decode(const mavlink_command_long_t* cmd, VbctlStatus* out) {
    if (out == nullptr || vbctl_is_status_report(cmd) == 0) return -1;
    const uint32_t p1 = vbctl_float_bits(cmd->param1);
    const uint32_t p2 = vbctl_float_bits(cmd->param2);
    const uint32_t p5 = vbctl_float_bits(cmd->param5);
    const uint32_t p6 = vbctl_float_bits(cmd->param6);
    const uint32_t p7 = vbctl_float_bits(cmd->param7);
    VbctlStatus s{};
    s.res_code = p1 & 0xF;
    s.ae_mode = (p1 >> 12) & 0x7;
    s.vps_mode = (p1 >> 16) & 0x1;
    s.sd_status = (p1 >> 20) & 0xF;
    s.snap_mode = (p1 >> 24) & 0xF;
    s.iso = p2 & 0xF;
    s.shutter = (p2 >> 4) & 0x3F;
    const int32_t ev_abs = static_cast<int32_t>((p2 >> 11) & 0xF);
    s.ev = ((p2 >> 10) & 0x1) != 0 ? ev_abs : -ev_abs;
    s.pic_fmt = (p2 >> 15) & 0x7;
    s.attr2 = (p2 >> 18) & 0x3;
    s.cti_shot = (p2 >> 20) & 0xF;
    s.attr6 = (p2 >> 24) & 0xF;
    s.pano_mode = (p2 >> 28) & 0xF;
    s.sd_total_mib = cmd->param3;
    s.sd_free_mib = cmd->param4;
    s.snap_tlapse = p5 & 0x1F;
    s.attr4 = (p5 >> 5) & 0x1F;
    s.tlapse_state = (p5 >> 10) & 0xF;
    s.snap_state = (p5 >> 14) & 0x3;
    s.time_synced = (p5 >> 16) & 0x1;
    s.zoom = (p5 >> 17) & 0x7F;
    s.video_mode = (p5 >> 24) & 0xFF;
    s.temperature = p6 & 0x7FF;
    s.cct = p7 & 0x7F;
    s.wb_mode = (p7 >> 7) & 0x1;
    s.dn_mode = (p7 >> 8) & 0x1;
    *out = s;
    return 0;
}

const char* vbctl_resolution_name(uint32_t code) {
    return code < std::size(kResolutions) ? kResolutions[code].text : "unknown";
}

const char* vbctl_sd_status_name(uint32_t status) {
    switch (status) {
        case 0:
            return "ready";
        case 1:
            return "no usable card";
        case 2:
            return "not writable after mounting";
        case 4:
            return "formatting";
        default:
            return "unknown";
    }
}

const char* vbctl_sd_report_state_name(uint8_t state) {
    switch (state) {
        case 0:
            return "ready";
        case 1:
            return "no card";
        default:
            return "not ready";
    }
}

const char* vbctl_picture_mode_name(uint32_t mode) {
    for (const Word& w : kPictureModes) {
        if (static_cast<uint32_t>(w.value) == mode) return w.word;
    }
    return "unknown";
}

const char* vbctl_tlapse_state_name(uint32_t state) {
    switch (state) {
        case 0:
            return "off";
        case 1:
            return "paused";
        case 2:
            return "running";
        default:
            return "unknown";
    }
}

int vbctl_status_format(const VbctlStatus* s, char* out, size_t size) {
    size_t used = 0;
    if (s == nullptr) return finish(out, size, used);
    append(out, size, &used, "mode: %s\n", s->vps_mode != 0 ? "record" : "photo");
    append(out, size, &used, "resolution: %u (%s)\n", s->res_code,
           vbctl_resolution_name(s->res_code));
    append(out, size, &used, "video mode: %u (%s)\n", s->video_mode,
           s->video_mode == 2   ? "zoom"
           : s->video_mode == 0 ? "normal"
                                : "other");
    append(out, size, &used, "exposure: %s, ISO index %u, shutter index %u, EV %+d\n",
           s->ae_mode != 0 ? "manual" : "auto", s->iso, s->shutter, s->ev);
    append(out, size, &used, "white balance: %s, colour temperature %u K, day/night %u\n",
           s->wb_mode != 0 ? "auto" : "manual", s->cct * 100, s->dn_mode);
    append(out, size, &used, "zoom: %u.%ux\n", s->zoom / 10, s->zoom % 10);
    append(out, size, &used, "picture: mode %u (%s), format %s, burst %u, panorama %u\n",
           s->snap_mode, vbctl_picture_mode_name(s->snap_mode), s->pic_fmt == 0 ? "jpeg" : "raw",
           s->cti_shot, s->pano_mode);
    append(out, size, &used, "capture attributes: 2=%u 4=%u 6=%u\n", s->attr2, s->attr4, s->attr6);
    append(out, size, &used, "time-lapse: %s; photo interval %u%s\n",
           vbctl_tlapse_state_name(s->tlapse_state), s->snap_tlapse,
           s->snap_state != 0 ? ", photo time-lapse running" : "");
    append(out, size, &used, "sd card: %s (%u), %.0f MiB total, %.0f MiB free\n",
           vbctl_sd_status_name(s->sd_status), s->sd_status, static_cast<double>(s->sd_total_mib),
           static_cast<double>(s->sd_free_mib));
    append(out, size, &used, "clock set by phone: %s\n", s->time_synced != 0 ? "yes" : "no");
    append(out, size, &used, "temperature: %u.%u C\n", s->temperature / 10, s->temperature % 10);
    return finish(out, size, used);
}

// ---------------------------------------------------------------------------
// Answers

int32_t vbctl_status_field(const VbctlStatus* s, VbctlStatusField field) {
    if (s == nullptr) return -1;
    switch (field) {
        case VBCTL_FIELD_RES_CODE:
            return static_cast<int32_t>(s->res_code);
        case VBCTL_FIELD_AE_MODE:
            return static_cast<int32_t>(s->ae_mode);
        case VBCTL_FIELD_ISO:
            return static_cast<int32_t>(s->iso);
        case VBCTL_FIELD_SHUTTER:
            return static_cast<int32_t>(s->shutter);
        case VBCTL_FIELD_EV:
            return s->ev;
        case VBCTL_FIELD_SNAP_MODE:
            return static_cast<int32_t>(s->snap_mode);
        case VBCTL_FIELD_PIC_FMT:
            return static_cast<int32_t>(s->pic_fmt);
        case VBCTL_FIELD_ATTR2:
            return static_cast<int32_t>(s->attr2);
        case VBCTL_FIELD_ATTR4:
            return static_cast<int32_t>(s->attr4);
        case VBCTL_FIELD_CTI_SHOT:
            return static_cast<int32_t>(s->cti_shot);
        case VBCTL_FIELD_ATTR6:
            return static_cast<int32_t>(s->attr6);
        case VBCTL_FIELD_SNAP_TLAPSE:
            return static_cast<int32_t>(s->snap_tlapse);
        case VBCTL_FIELD_PANO_MODE:
            return static_cast<int32_t>(s->pano_mode);
        case VBCTL_FIELD_ZOOM:
            return static_cast<int32_t>(s->zoom);
        case VBCTL_FIELD_VIDEO_MODE:
            return static_cast<int32_t>(s->video_mode);
        case VBCTL_FIELD_WB_MODE:
            return static_cast<int32_t>(s->wb_mode);
        case VBCTL_FIELD_DN_MODE:
            return static_cast<int32_t>(s->dn_mode);
        case VBCTL_FIELD_NONE:
            break;
    }
    return -1;
}

int32_t vbctl_ev_after(int32_t ev_before, int32_t step_command) {
    switch (step_command) {
        case 0:
            return ev_before < 9 ? ev_before + 1 : ev_before;
        case 1:
            return ev_before >= -8 ? ev_before - 1 : ev_before;
        default:
            return 0;
    }
}

VbctlVerdict vbctl_match(const VbctlExpect* expect, const mavlink_message_t* msg, uint8_t* result) {
    if (expect == nullptr || msg == nullptr) return VBCTL_WAIT;
    uint8_t res = 0;
    VbctlVerdict verdict = VBCTL_WAIT;
    switch (expect->kind) {
        case VBCTL_ANSWER_COMMAND_ACK: {
            mavlink_command_ack_t ack{};
            if (mavlink_msg_command_ack_decode(msg, &ack) != 0) break;
            if (ack.command != expect->command) break;
            res = ack.result;
            verdict = ack.result == 0 ? VBCTL_ACCEPTED : VBCTL_REFUSED;
            break;
        }
        case VBCTL_ANSWER_PELORA_ACK: {
            mavlink_pelora_ack_t ack{};
            if (mavlink_msg_pelora_ack_decode(msg, &ack) != 0) break;
            if (ack.data[VBCTL_ACK_ITEM] != expect->item ||
                ack.data[VBCTL_ACK_MSGID] != MAVLINK_MSG_ID_COMMAND_LONG ||
                ack.data[VBCTL_ACK_COMMAND] != VBCTL_CMD_SET_PARAMETER) {
                break;
            }
            res = ack.data[VBCTL_ACK_RESULT];
            if (res != 0) {
                verdict = VBCTL_REFUSED;
            } else if (expect->value1 < 0 || ack.data[VBCTL_ACK_VALUE1] == expect->value1) {
                verdict = VBCTL_ACCEPTED;
            }
            break;
        }
        case VBCTL_ANSWER_STATUS: {
            // Accepted values show in the status report; a value the board
            // refuses is answered with a failed PELORA_ACK for the item.
            mavlink_pelora_ack_t ack{};
            if (mavlink_msg_pelora_ack_decode(msg, &ack) == 0) {
                if (ack.data[VBCTL_ACK_ITEM] == expect->item &&
                    ack.data[VBCTL_ACK_MSGID] == MAVLINK_MSG_ID_COMMAND_LONG &&
                    ack.data[VBCTL_ACK_COMMAND] == VBCTL_CMD_SET_PARAMETER &&
                    ack.data[VBCTL_ACK_RESULT] != 0) {
                    res = ack.data[VBCTL_ACK_RESULT];
                    verdict = VBCTL_REFUSED;
                }
                break;
            }
            mavlink_command_long_t cmd{};
            VbctlStatus status{};
            if (mavlink_msg_command_long_decode(msg, &cmd) != 0 ||
                vbctl_status_decode(&cmd, &status) != 0) {
                break;
            }
            if (vbctl_status_field(&status, expect->field) == expect->value) {
                verdict = VBCTL_ACCEPTED;
            }
            break;
        }
        case VBCTL_ANSWER_TIMESYNC: {
            mavlink_pelora_ack_t ack{};
            mavlink_command_long_t cmd{};
            VbctlStatus status{};
            if (mavlink_msg_pelora_ack_decode(msg, &ack) == 0) {
                if (ack.data[VBCTL_ACK_MSGID] != VBCTL_ACK_TIMESYNC) break;
                res = ack.data[VBCTL_ACK_COMMAND];
                verdict = res == 0 ? VBCTL_ACCEPTED : VBCTL_REFUSED;
            } else if (mavlink_msg_command_long_decode(msg, &cmd) == 0 &&
                       vbctl_status_decode(&cmd, &status) == 0 && status.time_synced != 0) {
                verdict = VBCTL_ACCEPTED;
            }
            break;
        }
    }
    if (verdict != VBCTL_WAIT && result != nullptr) *result = res;
    return verdict;
}

// ---------------------------------------------------------------------------
// Parameter items

const VbctlItemInfo* vbctl_items(size_t* count) {
    // The definitions start with their public part; hand out a parallel table.
    static VbctlItemInfo infos[std::size(kItems)];
    static const bool filled = [] {
        for (size_t i = 0; i < std::size(kItems); ++i) infos[i] = kItems[i].info;
        return true;
    }();
    (void)filled;
    if (count != nullptr) *count = std::size(kItems);
    return infos;
}

int vbctl_parse_set(const char* name, int argc, const char* const* argv, VbctlSetRequest* out,
                    char* error, size_t error_size) {
    if (name == nullptr || out == nullptr || argc < 0 || (argc > 0 && argv == nullptr)) {
        return fail(error, error_size, "missing item name");
    }
    for (const ItemDef& def : kItems) {
        if (strcmp(def.info.name, name) != 0) continue;
        VbctlSetRequest req{};
        req.item = def.info.item;
        req.expect.item = def.info.item;  // a refusal is a PELORA_ACK for the item
        req.expect.value1 = -1;
        if (def.parse(def.info.item, argc, argv, &req, error, error_size) != 0) return -1;
        *out = req;
        return 0;
    }
    return fail(error, error_size, "unknown item \"%s\" (vbctl set --list lists them)", name);
}

// ---------------------------------------------------------------------------
// One-line text of a message

int vbctl_format_message(const mavlink_message_t* msg, char* out, size_t size) {
    size_t used = 0;
    if (msg == nullptr) return finish(out, size, used);
    const char* name = mavlink_msg_name(msg->msgid);
    if (name != nullptr) {
        append(out, size, &used, "%s", name);
    } else {
        append(out, size, &used, "MSG_%u", msg->msgid);
    }
    append(out, size, &used, " sys=%u(%u>%u) comp=%u seq=%u", msg->sysid,
           mavlink_sysid_sender(msg->sysid), mavlink_sysid_target(msg->sysid), msg->compid,
           msg->seq);
    switch (msg->msgid) {
        case MAVLINK_MSG_ID_HEARTBEAT: {
            mavlink_heartbeat_t hb{};
            mavlink_msg_heartbeat_decode(msg, &hb);
            append(out, size, &used,
                   " type=%u autopilot=%u base_mode=%u custom_mode=%u system_status=%u "
                   "mavlink_version=%u",
                   hb.type, hb.autopilot, hb.base_mode, hb.custom_mode, hb.system_status,
                   hb.mavlink_version);
            break;
        }
        case MAVLINK_MSG_ID_PARAM_REQUEST_LIST: {
            mavlink_param_request_list_t req{};
            mavlink_msg_param_request_list_decode(msg, &req);
            append(out, size, &used, " target_system=%u target_component=%u", req.target_system,
                   req.target_component);
            break;
        }
        case MAVLINK_MSG_ID_PELORA_PARAM_VALUE: {
            mavlink_pelora_param_value_t pv{};
            mavlink_msg_pelora_param_value_decode(msg, &pv);
            append(out, size, &used, " value=%g count=%u index=%u name=\"%s\" text=\"%s\" type=%u",
                   static_cast<double>(pv.value), pv.count, pv.index, pv.name, pv.text, pv.type);
            break;
        }
        case MAVLINK_MSG_ID_PELORA_ACK: {
            mavlink_pelora_ack_t ack{};
            mavlink_msg_pelora_ack_decode(msg, &ack);
            append(out, size, &used, " data=%u,%u,%u,%u,%u,%u,%u", ack.data[0], ack.data[1],
                   ack.data[2], ack.data[3], ack.data[4], ack.data[5], ack.data[6]);
            break;
        }
        case MAVLINK_MSG_ID_PELORA_SD_STATUS: {
            mavlink_pelora_sd_status_t sd{};
            mavlink_msg_pelora_sd_status_decode(msg, &sd);
            append(out, size, &used, " capacity=%g free=%g state=%u(%s)",
                   static_cast<double>(sd.capacity), static_cast<double>(sd.free_space), sd.state,
                   vbctl_sd_report_state_name(sd.state));
            break;
        }
        case MAVLINK_MSG_ID_COMMAND_LONG: {
            mavlink_command_long_t cmd{};
            mavlink_msg_command_long_decode(msg, &cmd);
            append(out, size, &used, " command=%u target_system=%u target_component=%u",
                   cmd.command, cmd.target_system, cmd.target_component);
            if (vbctl_is_status_report(&cmd) != 0) {
                // Integer words travel in the bits of the float parameters.
                append(out, size, &used,
                       " status p1=0x%08x p2=0x%08x sd_total=%g sd_free=%g p5=0x%08x p6=0x%08x "
                       "p7=0x%08x",
                       vbctl_float_bits(cmd.param1), vbctl_float_bits(cmd.param2),
                       static_cast<double>(cmd.param3), static_cast<double>(cmd.param4),
                       vbctl_float_bits(cmd.param5), vbctl_float_bits(cmd.param6),
                       vbctl_float_bits(cmd.param7));
            } else {
                append(out, size, &used, " confirmation=%u params=%g,%g,%g,%g,%g,%g,%g",
                       cmd.confirmation, static_cast<double>(cmd.param1),
                       static_cast<double>(cmd.param2), static_cast<double>(cmd.param3),
                       static_cast<double>(cmd.param4), static_cast<double>(cmd.param5),
                       static_cast<double>(cmd.param6), static_cast<double>(cmd.param7));
            }
            break;
        }
        case MAVLINK_MSG_ID_COMMAND_ACK: {
            mavlink_command_ack_t ack{};
            mavlink_msg_command_ack_decode(msg, &ack);
            append(out, size, &used, " command=%u result=%u", ack.command, ack.result);
            break;
        }
        case MAVLINK_MSG_ID_PELORA_CUSTOM_CONFIG: {
            mavlink_pelora_custom_config_t config{};
            mavlink_msg_pelora_custom_config_decode(msg, &config);
            append(out, size, &used, " setting_type=%u text=%s", config.setting_type, config.text);
            break;
        }
        case MAVLINK_MSG_ID_TIMESYNC: {
            mavlink_timesync_t ts{};
            mavlink_msg_timesync_decode(msg, &ts);
            append(out, size, &used, " tc1=%lld ts1=%lld", static_cast<long long>(ts.tc1),
                   static_cast<long long>(ts.ts1));
            break;
        }
        case MAVLINK_MSG_ID_GPS_RAW_INT: {
            mavlink_gps_raw_int_t gps{};
            mavlink_msg_gps_raw_int_decode(msg, &gps);
            append(out, size, &used, " lat=%d lon=%d alt=%d fix_type=%u satellites=%u", gps.lat,
                   gps.lon, gps.alt, gps.fix_type, gps.satellites_visible);
            break;
        }
        case MAVLINK_MSG_ID_PELORA_QUAD_STATUS: {
            mavlink_pelora_quad_status_t qs{};
            mavlink_msg_pelora_quad_status_decode(msg, &qs);
            append(out, size, &used, " status=%u", qs.status);
            break;
        }
        case MAVLINK_MSG_ID_DATA_STREAM: {
            mavlink_data_stream_t ds{};
            mavlink_msg_data_stream_decode(msg, &ds);
            append(out, size, &used, " message_rate=%u stream_id=%u on_off=%u", ds.message_rate,
                   ds.stream_id, ds.on_off);
            break;
        }
        default: {
            append(out, size, &used, " len=%u payload=", msg->len);
            for (size_t i = 0; i < msg->len; ++i) append(out, size, &used, "%02x", msg->payload[i]);
            break;
        }
    }
    return finish(out, size, used);
}

// ---------------------------------------------------------------------------
// Live view

void vbctl_h264_scan(VbctlH264Scan* scan, const uint8_t* bytes, size_t length) {
    if (scan == nullptr || bytes == nullptr) return;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (scan->state == 1) {
            ++scan->nal_units;
            const uint8_t type = b & 0x1f;
            scan->state = (type == 1 || type == 5) ? 2 : 0;  // a coded slice
        } else if (scan->state == 2) {
            // first_mb_in_slice is ue(v): 0 is the single bit 1.
            if ((b & 0x80) != 0) ++scan->pictures;
            scan->state = 0;
        }
        if (b == 0) {
            ++scan->zeros;
        } else {
            if (b == 1 && scan->zeros >= 2) scan->state = 1;
            scan->zeros = 0;
        }
    }
}

int vbctl_h264_starts_key(const uint8_t* bytes, size_t length) {
    if (bytes == nullptr) return 0;
    size_t header = 0;
    if (length >= 5 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1) {
        header = 4;
    } else if (length >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1) {
        header = 3;
    } else {
        return 0;
    }
    const uint8_t type = bytes[header] & 0x1f;
    return type == 7 || type == 5 ? 1 : 0;
}
