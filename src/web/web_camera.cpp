#include "web/web_camera.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "board/board_wifi.h"
#include "core/ccl.h"
#include "mav/mav_input.h"
#include "state/drone_position.h"
#include "vps/vcs.h"
#include "vps/vps_ctx.h"
#include "web/web_http.h"

namespace {

constexpr size_t kQueueMax = 64;
constexpr size_t kTrackMax = 4096;  // points; past it every other one is dropped
constexpr int kWifiRefreshSeconds = 5;

std::atomic<WebMediaCommandHook> g_mediaHook{nullptr};
std::atomic<WebSetParameterHook> g_parameterHook{nullptr};
std::atomic<void (*)()> g_wake{nullptr};

std::mutex g_queueLock;
std::deque<VpsEvt> g_queue;  // guarded by g_queueLock

// The rest is touched only on the web server's thread.
int64_t g_recStartMs = -1;
std::vector<std::pair<int32_t, int32_t>> g_track;  // degrees * 1e7
std::string g_wifiChannel;
int g_wifiAge = kWifiRefreshSeconds;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int observe(const VpsEvt* evt) {
    {
        std::lock_guard lock(g_queueLock);
        if (g_queue.size() >= kQueueMax) g_queue.pop_front();
        g_queue.push_back(*evt);
    }
    if (void (*wake)() = g_wake.load(); wake != nullptr) wake();
    return 0;
}

// A settings item: the phone's item number, its name and its values.
struct Item {
    const char* name;
    uint8_t item;
    const char* values;
    // Its current value in the settings context, or -1 when none is kept.
    int64_t (*current)();
};

int64_t zoom_percent() { return int64_t{g_vcsCtx.zoom.load()} * 10; }

// clang-format off
constexpr Item kItems[] = {
    {"resolution",     2,  "0-13: 2160p25 2160p30 2160p60 1520p25 1520p30 1520p60 1080p25 1080p30 1080p60 1080p120 720p25 720p30 720p60 720p120",
     [] { return int64_t{g_vcsCtx.resCode.load()}; }},
    {"iso",            3,  "0-12 (ISO 100 to 1600), manual exposure", [] { return int64_t{g_vcsCtx.iso.load()}; }},
    {"ev",             4,  "0 up, 1 down, 2 reset (-9..9), automatic exposure", [] { return int64_t{g_vcsCtx.ev.load()}; }},
    {"exposure",       5,  "0 auto, 1 manual", [] { return int64_t{g_vcsCtx.aeMode.load()}; }},
    {"shutter",        6,  "0-52 (0 = 1/8000 s, 24 = 1/30 s, 38 = 1 s), manual exposure", [] { return int64_t{g_vcsCtx.shutter.load()}; }},
    {"picture-mode",   7,  "0 single, 1 hdr, 2 continuous, 3 bracketing, 4 timelapse, 5 panorama", [] { return int64_t{g_vcsCtx.snapMode.load()}; }},
    {"picture-format", 8,  "0 jpeg, 1 raw", [] { return int64_t{g_vcsCtx.picFmt.load()}; }},
    {"capture-attr-2", 9,  "0-3", [] { return int64_t{g_vcsCtx.attr2.load()}; }},
    {"capture-attr-4", 11, "0-31", [] { return int64_t{g_vcsCtx.attr4.load()}; }},
    {"burst-count",    12, "2-15 photos per continuous shot", [] { return int64_t{g_vcsCtx.ctiShot.load()}; }},
    {"capture-attr-6", 13, "0-15", [] { return int64_t{g_vcsCtx.attr6.load()}; }},
    {"photo-interval", 14, "0-31 photo time-lapse interval", [] { return int64_t{g_vcsCtx.snapTlapse.load()}; }},
    {"panorama",       15, "5 sphere, 6 wide, 7 vertical, 0 horizontal", [] { return int64_t{g_vcsCtx.panoMode.load()}; }},
    {"metering",       16, "value 0 default, 1 point (value2 X, value3 Y), 2 lock (value2 1 on, 0 off)", nullptr},
    {"timelapse",      22, "value 0 start (value2 interval, value3 duration), 1 pause, 2 stop", nullptr},
    {"zoom",           23, "100-300 percent", zoom_percent},
    {"reset",          24, "no value: camera settings back to their defaults", nullptr},
    {"sd-format",      25, "no value: formats the card, erasing every file", nullptr},
    {"video-mode",     26, "0 normal, 2 zoom", [] { return int64_t{g_vcsCtx.videoMode.load()}; }},
    {"white-balance",  29, "value 0 auto, 1 manual (value2 in 100 K, 20-99)", [] { return int64_t{g_vcsCtx.cctMode.load()}; }},
    {"day-night",      30, "0 or 1", [] { return int64_t{g_vcsCtx.dnMode.load()}; }},
};
// clang-format on

const Item* find_item(const char* name) {
    for (const Item& it : kItems) {
        if (strcmp(it.name, name) == 0) return &it;
    }
    return nullptr;
}

// The first parameter's range as the page sees it (zoom takes its percent).
MavParamRange first_range(const Item& it) {
    MavParamRange r{0, 0};
    if (it.item == 23) return {100, 300};
    MavlinkSetParameterRange(it.item, 1, &r);
    return r;
}

WebCommandResult refused(int status, const char* text) { return {status, -1, -1, text}; }

// The card's reason for refusing a start.
const char* card_reason(int32_t code) {
    switch (code) {
        case VPS_SD_ERR_UNUSABLE:
            return "the card is not usable";
        case VPS_SD_ERR_FULL:
            return "the card is full";
        default:
            return nullptr;
    }
}

const char* sd_state_name(uint32_t state) {
    switch (state) {
        case VPS_SD_OK:
            return "ok";
        case VPS_SD_NONE:
            return "none";
        case VPS_SD_RW_ERROR:
            return "error";
        case VPS_SD_FORMATTING:
            return "formatting";
        default:
            return "unknown";
    }
}

// Reads "key=value" pairs of a form body into the item name and up to three
// numbers. False for a malformed body.
bool parse_form(const char* body, std::string* name, long values[3], int* count) {
    *count = 0;
    std::string text = body;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('&', at);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(at, end - at);
        at = end + 1;
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = pair.substr(0, eq);
        const std::string value = pair.substr(eq + 1);
        if (key == "name") {
            *name = value;
            continue;
        }
        const int index = key == "value" ? 0 : key == "value2" ? 1 : key == "value3" ? 2 : -1;
        if (index < 0 || value.empty()) return false;
        char* stop = nullptr;
        errno = 0;
        const long v = strtol(value.c_str(), &stop, 10);
        if (errno != 0 || *stop != '\0') return false;
        values[index] = v;
        if (index + 1 > *count) *count = index + 1;
    }
    return true;
}

}  // namespace

void PLR_WEB_SetCommandHooks(WebMediaCommandHook media, WebSetParameterHook parameter) {
    g_mediaHook.store(media);
    g_parameterHook.store(parameter);
}

void PLR_WEB_ClearCommandHooks() { PLR_WEB_SetCommandHooks(nullptr, nullptr); }

int web_camera_start(void (*wake)()) {
    g_wake.store(wake);
    return PLR_VPS_AddEvtObserver(observe);
}

void web_camera_stop() {
    PLR_VPS_RemoveEvtObserver(observe);
    g_wake.store(nullptr);
    std::lock_guard lock(g_queueLock);
    g_queue.clear();
    g_track.clear();
    g_recStartMs = -1;
}

void web_camera_take(std::vector<VpsEvt>* out) {
    out->clear();
    std::lock_guard lock(g_queueLock);
    out->assign(g_queue.begin(), g_queue.end());
    g_queue.clear();
}

void web_camera_note(const VpsEvt& evt) {
    if (evt.eventno == VPS_EVT_REC_START && evt.retCode == 0) g_recStartMs = now_ms();
    if (evt.eventno == VPS_EVT_REC_STOP) g_recStartMs = -1;
}

std::string web_camera_event_json(const VpsEvt& evt) {
    const char* name = PLR_VPS_EvtName(evt.eventno);
    char head[160];
    snprintf(head, sizeof head,
             "{\"type\":\"event\",\"name\":\"%s\",\"ret\":%" PRId32 ",\"ival1\":%" PRId32
             ",\"ival2\":%" PRId32 ",\"text\":\"",
             name != nullptr ? name : "?", evt.retCode, evt.ival1, evt.ival2);
    std::string out = head;
    char text[VPS_EVT_TEXT_SIZE];
    snprintf(text, sizeof text, "%s", evt.cval);
    web_json_escape(text, &out);
    out += "\"}";
    return out;
}

std::string web_camera_status_json() {
    const bool recording = g_vpsCtx.recRunning.load() != 0;
    int64_t recSeconds = 0;
    if (recording && g_recStartMs >= 0) recSeconds = (now_ms() - g_recStartMs) / 1000;
    const VcsSdStatus sd = PLR_VCS_GetSDStatus();
    char buf[768];
    snprintf(buf, sizeof buf,
             "{\"type\":\"status\",\"mode\":\"%s\",\"busy\":%s,\"recording\":%s,"
             "\"recordSeconds\":%" PRId64 ",\"card\":{\"state\":\"%s\",\"totalMiB\":%" PRIu32
             ",\"freeMiB\":%" PRIu32 "},\"zoom\":%.1f,\"wifiChannel\":\"",
             PLR_VCS_GetVpsMode() == 1 ? "record" : "photo",
             PLR_VPS_GetVpsStatus() != VPS_STATUS_IDLE ? "true" : "false",
             recording ? "true" : "false", recSeconds, sd_state_name(sd.status), sd.total, sd.free,
             g_vcsCtx.zoom.load() / 10.0);
    std::string out = buf;
    web_json_escape(g_wifiChannel.c_str(), &out);
    snprintf(buf, sizeof buf,
             "\",\"gps\":{\"lat\":%.7f,\"lon\":%.7f,\"alt\":%.1f},\"temperature\":%.1f,"
             "\"versions\":{",
             MavlinkGetGPSLatitude() / 1e7, MavlinkGetGPSLongtitude() / 1e7,
             MavlinkGetGPSAltitude() / 10.0, g_vcsCtx.temperature.load() / 10.0);
    out += buf;
    // The boards' versions as the configuration keeps them (copied: an
    // upgrade may reload the configuration meanwhile).
    std::vector<std::pair<std::string, std::string>> conf;
    CclGetConfigList(&conf);
    const char* const kVersions[][2] = {{"total", "PTotalVer"},   {"vboard", "VBoardVer"},
                                        {"flyctl", "FlyctlVer"},  {"gimbal", "GimbalVer"},
                                        {"repeater", "RepeaterVer"}};
    for (size_t i = 0; i < std::size(kVersions); ++i) {
        const char* v = "";
        for (const auto& [key, value] : conf) {
            if (key == kVersions[i][1]) v = value.c_str();
        }
        out += i == 0 ? "\"" : ",\"";
        out += kVersions[i][0];
        out += "\":\"";
        web_json_escape(v, &out);
        out += "\"";
    }
    out += "}}";
    return out;
}

void web_camera_sample() {
    const int32_t lat = MavlinkGetGPSLatitude();
    const int32_t lon = MavlinkGetGPSLongtitude();
    if ((lat != 0 || lon != 0) &&
        (g_track.empty() || g_track.back() != std::make_pair(lat, lon))) {
        if (g_track.size() >= kTrackMax) {
            // Thinned, not cut: the track keeps its start.
            std::vector<std::pair<int32_t, int32_t>> half;
            for (size_t i = 0; i < g_track.size(); i += 2) half.push_back(g_track[i]);
            g_track.swap(half);
        }
        g_track.emplace_back(lat, lon);
    }
    if (++g_wifiAge >= kWifiRefreshSeconds) {
        g_wifiAge = 0;
        std::string channel;
        if (board_wifi_ap_channel_text(&channel) == 0) {
            while (!channel.empty() && (channel.back() == '\n' || channel.back() == ' '))
                channel.pop_back();
            g_wifiChannel = channel;
        }
    }
}

std::string web_camera_track_json() {
    std::string out = "{\"points\":[";
    char point[48];
    for (size_t i = 0; i < g_track.size(); ++i) {
        snprintf(point, sizeof point, "%s[%.7f,%.7f]", i == 0 ? "" : ",",
                 g_track[i].first / 1e7, g_track[i].second / 1e7);
        out += point;
    }
    out += "]}";
    return out;
}

std::string web_camera_settings_json() {
    std::string out = "{\"items\":[";
    char buf[128];
    for (size_t i = 0; i < std::size(kItems); ++i) {
        const Item& it = kItems[i];
        const MavParamRange r = first_range(it);
        MavParamRange unused{};
        const bool takesValue = it.item == 23 || MavlinkSetParameterRange(it.item, 1, &unused);
        snprintf(buf, sizeof buf, "%s{\"name\":\"%s\",\"item\":%u,\"values\":\"", i == 0 ? "" : ",",
                 it.name, it.item);
        out += buf;
        web_json_escape(it.values, &out);
        if (takesValue) {
            snprintf(buf, sizeof buf, "\",\"min\":%" PRId32 ",\"max\":%" PRId32, r.lo, r.hi);
        } else {
            snprintf(buf, sizeof buf, "\",\"min\":null,\"max\":null");
        }
        out += buf;
        if (it.current != nullptr) {
            snprintf(buf, sizeof buf, ",\"value\":%" PRId64 "}", it.current());
        } else {
            snprintf(buf, sizeof buf, ",\"value\":null}");
        }
        out += buf;
    }
    out += "]}";
    return out;
}

WebCommandResult web_camera_command(WebCommand command) {
    const WebMediaCommandHook hook = g_mediaHook.load();
    if (hook == nullptr) return refused(503, "the camera is not connected");
    const bool stop = command == WEB_CMD_RECORD_STOP;
    if (!stop && PLR_VPS_GetVpsStatus() != VPS_STATUS_IDLE)
        return refused(409, "the camera is switching modes");
    switch (command) {
        case WEB_CMD_RECORD_START:
            if (g_vpsCtx.recRunning.load() != 0) return refused(409, "already recording");
            if (hook(3) != 0) return refused(503, "the camera did not take the command");
            return {0, VPS_EVT_REC_START, -1, ""};
        case WEB_CMD_RECORD_STOP:
            if (g_vpsCtx.recRunning.load() == 0) return refused(409, "not recording");
            if (hook(4) != 0) return refused(503, "the camera did not take the command");
            return {0, VPS_EVT_REC_STOP, -1, ""};
        case WEB_CMD_PHOTO:
            if (g_vpsCtx.recRunning.load() != 0)
                return refused(409, "a recording is running; stop it first");
            if (hook(1) != 0) return refused(503, "the camera did not take the command");
            return {0, VPS_EVT_SNAP_START, -1, ""};
        case WEB_CMD_MODE_PHOTO:
        case WEB_CMD_MODE_RECORD: {
            const int32_t wanted = command == WEB_CMD_MODE_RECORD ? 1 : 0;
            if (static_cast<int32_t>(PLR_VCS_GetVpsMode()) == wanted) return {200, -1, wanted, ""};
            if (g_vpsCtx.recRunning.load() != 0)
                return refused(409, "a recording is running; stop it first");
            if (hook(wanted == 1 ? 2 : 0) != 0)
                return refused(503, "the camera did not take the command");
            return {0, VPS_EVT_MODE_SWITCH, wanted, ""};
        }
    }
    return refused(400, "unknown command");
}

bool web_camera_answer(const VpsEvt& evt, WebCommandResult* result) {
    if (result == nullptr || result->waitEvent < 0 ||
        evt.eventno != static_cast<uint32_t>(result->waitEvent))
        return false;
    result->waitEvent = -1;
    if (evt.eventno == VPS_EVT_MODE_SWITCH) {
        const bool ok = evt.ival1 == result->wanted;
        result->status = ok ? 200 : 409;
        result->text = ok ? "" : "the camera stayed in its mode";
        return true;
    }
    if (evt.retCode == 0) {
        result->status = 200;
        result->text = "";
        return true;
    }
    const char* reason = card_reason(evt.retCode);
    result->status = reason != nullptr ? 507 : 409;
    char text[96];
    snprintf(text, sizeof text, "the camera refused: %s (code %" PRId32 ")",
             reason != nullptr ? reason : "not possible now", evt.retCode);
    result->text = text;
    return true;
}

WebCommandResult web_camera_set(const char* body) {
    std::string name;
    long v[3] = {0, 0, 0};
    int count = 0;
    if (body == nullptr || !parse_form(body, &name, v, &count))
        return refused(400, "the body takes name=ITEM&value=N[&value2=N][&value3=N]");
    const Item* it = find_item(name.c_str());
    if (it == nullptr) return refused(400, ("unknown item \"" + name + "\"").c_str());
    float p[3] = {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
    if (it->item == 23) {
        // "Zoom to": param1 1, param2 the percent.
        if (count != 1 || v[0] < 100 || v[0] > 300)
            return refused(400, "zoom takes a percentage 100-300");
        p[0] = 1;
        p[1] = static_cast<float>(v[0]);
        p[2] = 0;
    } else {
        for (int i = 0; i < 3; ++i) {
            MavParamRange r{};
            const bool used = MavlinkSetParameterRange(it->item, i + 1, &r);
            if (used && i >= count && i == 0) {
                return refused(400, (std::string(it->name) + " takes " + it->values).c_str());
            }
            if (!used && i < count) {
                return refused(400, (std::string(it->name) + " takes " + it->values).c_str());
            }
            if (used && i < count && (v[i] < r.lo || v[i] > r.hi)) {
                char text[200];
                snprintf(text, sizeof text, "%s: value%s %ld is out of range %" PRId32 "-%" PRId32,
                         it->name, i == 0 ? "" : i == 1 ? "2" : "3", v[i], r.lo, r.hi);
                return refused(400, text);
            }
        }
    }
    const WebSetParameterHook hook = g_parameterHook.load();
    if (hook == nullptr) return refused(503, "the camera is not connected");
    if (hook(it->item, p[0], p[1], p[2]) != 0) return refused(409, "the camera refused the value");
    return {202, -1, -1, ""};
}
