// The camera and Wi-Fi verbs of vbctl beyond `set`: time-lapse, zoom and the
// access point's channel and survey. Word parsing and message building only;
// vbctl_main sends and waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vbctl/vbctl_proto.h"

// `timelapse start` (with --interval N and --duration S, 1-255 each), `pause`,
// `resume` or `stop`: the parameter item 22 request and the answer to wait
// for. `interval`/`duration` are -1 when their option was not given.
int vbctl_parse_timelapse_verb(const char* what, long interval, long duration, VbctlSetRequest* out,
                               char* error, size_t error_size);

enum VbctlZoomVerb : uint8_t { VBCTL_ZOOM_IN, VBCTL_ZOOM_OUT, VBCTL_ZOOM_SET };
// `zoom in`, `zoom out` or `zoom set TENTHS` (10-30: 1.0x to 3.0x).
int vbctl_parse_zoom_verb(const char* what, const char* tenths, VbctlZoomVerb* verb,
                          VbctlSetRequest* out, char* error, size_t error_size);

// The phone's channel request: PELORA_CUSTOM_CONFIG with the channel as text.
int vbctl_build_wifi_channel(uint8_t seq, uint32_t channel, mavlink_message_t* msg);
// The phone's survey request: PARAM_REQUEST_LIST from component 192.
int vbctl_build_wifi_survey(uint8_t seq, mavlink_message_t* msg);

// One survey answer (PELORA_PARAM_VALUE from component 192).
struct VbctlSurveyRow {
    uint16_t count;
    uint16_t index;
    std::string channel;
    std::string level;
    bool inUse;
};
// 0 when `msg` is a survey answer, else -1.
int vbctl_survey_row(const mavlink_message_t* msg, VbctlSurveyRow* row);

// The board's answer to a refused or failed channel change: COMMAND_ACK 59.
inline constexpr uint16_t VBCTL_WIFI_CHANNEL_ACK = 59;
