// vbctl: the ground-station client of the video board. It connects to the
// board's MAVLink link as the phone does, keeps the link alive with
// heartbeats, sends one command and waits for the board's answer.
//
// Exit status: 0 when the board acknowledged the command (for `live`: when
// at least one live-view frame arrived), 1 on refusal, time-out or a missing
// board, 2 on a usage error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "vbctl/vbctl_files.h"
#include "vbctl/vbctl_link.h"
#include "vbctl/vbctl_proto.h"
#include "vbctl/vbctl_upgrade.h"
#include "vbctl/vbctl_verbs.h"
#include "vbctl/vbctl_vision.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// The usage text is this head, the usage lines of every verb in kVerbs (near
// the end of this file) and this tail, joined by usage_text().
const char kUsageHead[] =
    "usage: vbctl [--host ADDR] [--port N] [--timeout S] COMMAND\n"
    "\n"
    "commands:\n";
const char kUsageTail[] =
    "\n"
    "options:\n"
    "  --host ADDR    board address (default 127.0.0.1)\n"
    "  --port N       board TCP port (default 8866)\n"
    "  --timeout S    seconds to wait for each answer (default 10)\n"
    "  --bind ADDR    live: receive on ADDR:8856 and connect from ADDR (default 127.0.0.1)\n"
    "  --file-port N  file service: the board's request port (default 8857)\n"
    "  --ack-port N   file service: where acknowledgements go (default 8866)\n"
    "\n"
    "exit status: 0 acknowledged, 1 refused or no answer, 2 usage error\n";

const std::string& usage_text();

using Words = std::vector<const char*>;

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = VBCTL_DEFAULT_PORT;
    double timeout_s = 10;
    bool watch = false;
    bool list = false;
    bool seconds_given = false;
    double seconds = 0;
    bool tz_given = false;
    int tz_hours = 0;
    std::string output;         // live: the H.264 file
    const char* box = nullptr;  // track: X,Y,W,H
    bool bind_given = false;
    std::string bind = "127.0.0.1";  // live: the address the live view is received on
    Words args;                      // the command and its words
    VbctlFileOptions files;          // ls, info, get, rm, thumb, stream
    long interval = -1;              // timelapse start: key-frame interval
    long duration = -1;              // timelapse start: seconds of finished video
    VbctlUpgradeOptions upgrade;     // upgrade
    bool board_given = false;
};

struct Session {
    Options opt;
    VbctlLink link;
    // What the board said last.
    uint64_t status_count = 0;
    VbctlStatus status{};
    bool have_sd = false;
    mavlink_pelora_sd_status_t sd{};
    bool have_heartbeat = false;
    uint8_t heartbeat_status = 0;
    int64_t rec_seconds = -1;
    // The answer being waited for.
    const VbctlExpect* expect = nullptr;
    uint8_t result = 0;
};

__attribute__((format(printf, 1, 2))) int usage_error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fputs("vbctl: ", stderr);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fputs("\n", stderr);
    fputs(usage_text().c_str(), stderr);
    return EXIT_USAGE;
}

bool parse_number(const char* text, double lo, double hi, double* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *value = v;
    return true;
}

// Options may stand anywhere; everything else is the command's words.
int parse_options(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const bool has_value = i + 1 < argc;
        double v = 0;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(usage_text().c_str(), stdout);
            exit(EXIT_OK);
        } else if (strcmp(a, "--host") == 0) {
            if (!has_value) return usage_error("%s needs an address", a);
            opt->host = argv[++i];
        } else if (strcmp(a, "--port") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 1, 65535, &v)) {
                return usage_error("%s needs a port number 1-65535", a);
            }
            opt->port = static_cast<uint16_t>(v);
            ++i;
        } else if (strcmp(a, "--timeout") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 0.1, 86400, &v)) {
                return usage_error("%s needs a number of seconds", a);
            }
            opt->timeout_s = v;
            ++i;
        } else if (strcmp(a, "--seconds") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 0, 86400 * 7, &v)) {
                return usage_error("%s needs a number of seconds", a);
            }
            opt->seconds = v;
            opt->seconds_given = true;
            ++i;
        } else if (strcmp(a, "--tz-hours") == 0) {
            if (!has_value || !parse_number(argv[i + 1], -12, 14, &v)) {
                return usage_error("%s needs an offset in hours, -12 to 14", a);
            }
            opt->tz_hours = static_cast<int>(v);
            opt->tz_given = true;
            ++i;
        } else if (strcmp(a, "-o") == 0 || strcmp(a, "--output") == 0) {
            if (!has_value) return usage_error("%s needs a file name", a);
            opt->output = argv[++i];
        } else if (strcmp(a, "--bind") == 0) {
            in_addr addr{};
            if (!has_value || inet_pton(AF_INET, argv[i + 1], &addr) != 1) {
                return usage_error("%s needs an IPv4 address", a);
            }
            opt->bind = argv[++i];
            opt->bind_given = true;
        } else if (strcmp(a, "--box") == 0) {
            if (!has_value) return usage_error("%s needs X,Y,W,H", a);
            opt->box = argv[++i];
        } else if (strcmp(a, "--file-port") == 0 || strcmp(a, "--ack-port") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 1, 65535, &v)) {
                return usage_error("%s needs a port number 1-65535", a);
            }
            (a[2] == 'f' ? opt->files.file_port : opt->files.ack_port) = static_cast<uint16_t>(v);
            ++i;
        } else if (strcmp(a, "--offset") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 0, 1e15, &v)) {
                return usage_error("%s needs a byte offset", a);
            }
            opt->files.offset = static_cast<uint64_t>(v);
            opt->files.offset_given = true;
            ++i;
        } else if (strcmp(a, "--seek") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 0, UINT32_MAX, &v)) {
                return usage_error("%s needs a position in milliseconds", a);
            }
            opt->files.seek_ms = static_cast<uint32_t>(v);
            ++i;
        } else if (strcmp(a, "--interval") == 0 || strcmp(a, "--duration") == 0) {
            if (!has_value || !parse_number(argv[i + 1], 1, 255, &v) || v != static_cast<long>(v)) {
                return usage_error("%s needs a whole number 1-255", a);
            }
            (a[2] == 'i' ? opt->interval : opt->duration) = static_cast<long>(v);
            ++i;
        } else if (strcmp(a, "--board") == 0) {
            if (!has_value || vbctl_upgrade_board(argv[i + 1]) == 0) {
                return usage_error("%s takes video, fc, gimbal or repeater", a);
            }
            opt->upgrade.sys = vbctl_upgrade_board(argv[++i]);
            opt->board_given = true;
        } else if (strcmp(a, "--version") == 0) {
            if (!has_value) return usage_error("%s needs a text", a);
            opt->upgrade.version = argv[++i];
            opt->upgrade.version_given = true;
        } else if (strcmp(a, "--restart") == 0) {
            opt->upgrade.restart = true;
        } else if (strcmp(a, "--withhold") == 0) {
            // Test aid, not in the usage: leave package N out of the first pass.
            if (!has_value || !parse_number(argv[i + 1], 0, UINT32_MAX, &v)) {
                return usage_error("%s needs a package index", a);
            }
            opt->upgrade.withhold = static_cast<int64_t>(v);
            ++i;
        } else if (strcmp(a, "--name") == 0) {
            // Test aid, not in the usage: the name announced for the files.
            if (!has_value) return usage_error("%s needs a name", a);
            opt->upgrade.name = argv[++i];
            opt->upgrade.name_given = true;
        } else if (strcmp(a, "--watch") == 0) {
            opt->watch = true;
        } else if (strcmp(a, "--list") == 0) {
            opt->list = true;
        } else if (a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option %s", a);
        } else {
            opt->args.push_back(a);
        }
    }
    return EXIT_OK;
}

int64_t timeout_ms(const Session& s) {
    return static_cast<int64_t>(s.opt.timeout_s * 1000);
}

// Keeps the picture of the board up to date from every message.
void observe(Session* s, const mavlink_message_t* msg) {
    switch (msg->msgid) {
        case MAVLINK_MSG_ID_HEARTBEAT: {
            mavlink_heartbeat_t hb{};
            if (mavlink_msg_heartbeat_decode(msg, &hb) == 0) {
                s->have_heartbeat = true;
                s->heartbeat_status = hb.system_status;
                if ((hb.system_status & 1) == 0) s->rec_seconds = -1;
            }
            break;
        }
        case MAVLINK_MSG_ID_COMMAND_LONG: {
            mavlink_command_long_t cmd{};
            if (mavlink_msg_command_long_decode(msg, &cmd) == 0 &&
                vbctl_status_decode(&cmd, &s->status) == 0) {
                ++s->status_count;
            }
            break;
        }
        case MAVLINK_MSG_ID_PELORA_SD_STATUS:
            s->have_sd = mavlink_msg_pelora_sd_status_decode(msg, &s->sd) == 0;
            break;
        case MAVLINK_MSG_ID_TIMESYNC: {
            // While recording the board sends tc1 0 and the recording's seconds.
            mavlink_timesync_t ts{};
            if (mavlink_msg_timesync_decode(msg, &ts) == 0 && ts.tc1 == 0) s->rec_seconds = ts.ts1;
            break;
        }
        default:
            break;
    }
}

int on_observe(const mavlink_message_t* msg, void* context) {
    observe(static_cast<Session*>(context), msg);
    return 0;
}

int on_any_message(const mavlink_message_t* msg, void* context) {
    observe(static_cast<Session*>(context), msg);
    return 1;
}

int on_answer(const mavlink_message_t* msg, void* context) {
    Session* s = static_cast<Session*>(context);
    observe(s, msg);
    switch (vbctl_match(s->expect, msg, &s->result)) {
        case VBCTL_ACCEPTED:
            return 1;
        case VBCTL_REFUSED:
            return 2;
        case VBCTL_WAIT:
            break;
    }
    return 0;
}

int on_status_report(const mavlink_message_t* msg, void* context) {
    Session* s = static_cast<Session*>(context);
    const uint64_t before = s->status_count;
    observe(s, msg);
    return s->status_count != before ? 1 : 0;
}

void report_pump_end(const Session& s, int end, const char* what, const char* hint) {
    switch (end) {
        case VBCTL_PUMP_DEADLINE:
            fprintf(stderr, "vbctl: no answer to %s within %g s%s%s\n", what, s.opt.timeout_s,
                    hint != nullptr ? ": " : "", hint != nullptr ? hint : "");
            break;
        case VBCTL_PUMP_CLOSED:
            fprintf(stderr, "vbctl: the board closed the link while waiting for %s\n", what);
            break;
        case VBCTL_PUMP_INTERRUPTED:
            fprintf(stderr, "vbctl: interrupted while waiting for %s\n", what);
            break;
        default:
            break;
    }
}

// Connects and waits for the board's first message: the board sends its
// heartbeat every 300 ms once it has accepted the link. A link closed before
// anything arrived (a board that is stopping, or a build that re-created its
// listening socket between accepts) is tried again until the time-out.
int open_link(Session* s) {
    const int64_t deadline = vbctl_now_ms() + timeout_ms(*s);
    char error[256] = "";
    for (;;) {
        const int64_t left = deadline - vbctl_now_ms();
        // The board sends the live view to the address the link comes from.
        const char* source = s->opt.bind_given ? s->opt.bind.c_str() : nullptr;
        if (vbctl_link_connect(&s->link, s->opt.host.c_str(), s->opt.port,
                               static_cast<int>(left > 0 ? left : 0), error, sizeof error,
                               source) != 0) {
            fprintf(stderr, "vbctl: %s\n", error);
            return EXIT_FAILED;
        }
        const int end = vbctl_link_pump(&s->link, deadline, on_any_message, s);
        if (end > 0) return EXIT_OK;
        if (end == VBCTL_PUMP_CLOSED && s->link.bytes_received == 0 &&
            vbctl_now_ms() + 200 < deadline) {
            vbctl_link_close(&s->link);
            usleep(200 * 1000);
            continue;
        }
        if (end == VBCTL_PUMP_DEADLINE) {
            fprintf(stderr,
                    "vbctl: connected to %s:%u but the board sent nothing within %g s "
                    "(is another client connected?)\n",
                    s->opt.host.c_str(), s->opt.port, s->opt.timeout_s);
        } else {
            report_pump_end(*s, end, "the board's first heartbeat", nullptr);
        }
        return EXIT_FAILED;
    }
}

int send_message(Session* s, const mavlink_message_t* msg) {
    if (vbctl_link_send(&s->link, msg) == 0) return EXIT_OK;
    fprintf(stderr, "vbctl: the link to the board broke while sending\n");
    return EXIT_FAILED;
}

// Waits for the answer `expect` describes. 0 when accepted.
int wait_answer(Session* s, const VbctlExpect& expect, const char* what, const char* hint) {
    s->expect = &expect;
    const int end = vbctl_link_pump(&s->link, vbctl_now_ms() + timeout_ms(*s), on_answer, s);
    s->expect = nullptr;
    if (end == 1) return EXIT_OK;
    if (end == 2) {
        fprintf(stderr, "vbctl: the board refused %s (result %u)\n", what, s->result);
        return EXIT_FAILED;
    }
    report_pump_end(*s, end, what, hint);
    return EXIT_FAILED;
}

int wait_status(Session* s) {
    const int end = vbctl_link_pump(&s->link, vbctl_now_ms() + timeout_ms(*s), on_status_report, s);
    if (end == 1) return EXIT_OK;
    report_pump_end(*s, end, "the status report", nullptr);
    return EXIT_FAILED;
}

VbctlExpect command_ack(uint16_t command) {
    VbctlExpect e{};
    e.kind = VBCTL_ANSWER_COMMAND_ACK;
    e.command = command;
    e.value1 = -1;
    return e;
}

// ---------------------------------------------------------------------------
// Commands

constexpr char kBusyHint[] =
    "the board ignores camera commands while the camera is busy switching modes";

int media_command(Session* s, VbctlMedia command) {
    mavlink_message_t msg;
    vbctl_build_media_command(vbctl_link_next_seq(&s->link), command, &msg);
    return send_message(s, &msg);
}

int cmd_mode(Session* s) {
    const char* mode = s->opt.args[1];
    const bool record = strcmp(mode, "record") == 0;
    if (media_command(s, record ? VBCTL_MEDIA_RECORD_MODE : VBCTL_MEDIA_PHOTO_MODE) != 0) {
        return EXIT_FAILED;
    }
    VbctlExpect e{};
    e.kind = VBCTL_ANSWER_PELORA_ACK;
    e.item = 1;  // the mode switch answers as parameter item 1
    e.value1 = record ? 1 : 0;
    if (wait_answer(s, e, "the mode switch", kBusyHint) != 0) return EXIT_FAILED;
    printf("mode: %s\n", mode);
    return EXIT_OK;
}

int record_stop(Session* s) {
    if (media_command(s, VBCTL_MEDIA_REC_STOP) != 0) return EXIT_FAILED;
    if (wait_answer(s, command_ack(VBCTL_CMD_REC_STOP_ACK), "record stop",
                    "is the camera recording?") != 0) {
        return EXIT_FAILED;
    }
    printf("recording stopped\n");
    return EXIT_OK;
}

int cmd_record(Session* s) {
    if (strcmp(s->opt.args[1], "stop") == 0) return record_stop(s);
    if (media_command(s, VBCTL_MEDIA_REC_START) != 0) return EXIT_FAILED;
    if (wait_answer(s, command_ack(VBCTL_CMD_REC_START_ACK), "record start", kBusyHint) != 0) {
        if (s->status_count > 0 && s->status.sd_status != 0) {
            fprintf(stderr, "vbctl: sd card: %s\n", vbctl_sd_status_name(s->status.sd_status));
        }
        return EXIT_FAILED;
    }
    printf("recording started\n");
    if (!s->opt.seconds_given) return EXIT_OK;
    fflush(stdout);
    const int64_t until = vbctl_now_ms() + static_cast<int64_t>(s->opt.seconds * 1000);
    // A recording also ends by itself (card full): the board then sends the
    // stop acknowledgement unasked.
    const VbctlExpect ended = command_ack(VBCTL_CMD_REC_STOP_ACK);
    s->expect = &ended;
    const int end = vbctl_link_pump(&s->link, until, on_answer, s);
    s->expect = nullptr;
    if (end == VBCTL_PUMP_CLOSED) {
        fprintf(stderr, "vbctl: the board closed the link while recording\n");
        return EXIT_FAILED;
    }
    if (end > 0) {
        fprintf(stderr, "vbctl: the recording ended early (the board sent COMMAND_ACK 2501)\n");
        return EXIT_FAILED;
    }
    // Ctrl-C during the wait stops the recording early.
    g_vbctlInterrupted = 0;
    if (s->rec_seconds >= 0) printf("recorded %lld s\n", static_cast<long long>(s->rec_seconds));
    return record_stop(s);
}

int cmd_photo(Session* s) {
    if (media_command(s, VBCTL_MEDIA_SNAP) != 0) return EXIT_FAILED;
    if (wait_answer(s, command_ack(VBCTL_CMD_SNAP_ACK), "the photo", kBusyHint) != 0) {
        return EXIT_FAILED;
    }
    printf("photo started\n");
    return EXIT_OK;
}

const char* item_hint(uint8_t item) {
    switch (item) {
        case 3:
        case 6:
            return "ISO and shutter take effect in manual exposure only (vbctl set exposure "
                   "manual)";
        case 4:
            return "the EV step changes in automatic exposure only";
        case 16:
            return "metering works in photo mode only";
        case 23:
            return "zoom works in photo mode, or in record mode with video-mode zoom";
        case 30:
            return "the camera does not support day/night switching";
        default:
            return nullptr;
    }
}

// Sends a parameter request and waits for its answer; `name` names it.
int run_request(Session* s, const VbctlSetRequest& req, const char* name) {
    VbctlExpect expect = req.expect;
    if (expect.kind == VBCTL_ANSWER_STATUS) {
        // The board answers these items only in its status report: take one
        // before the command as the baseline.
        if (wait_status(s) != 0) return EXIT_FAILED;
        if (expect.ev_step) expect.value = vbctl_ev_after(s->status.ev, expect.value);
    }
    mavlink_message_t msg;
    vbctl_build_set_parameter(vbctl_link_next_seq(&s->link), req.item, req.params, &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    char what[64];
    snprintf(what, sizeof what, "set %s", name);
    if (wait_answer(s, expect, what, item_hint(req.item)) != 0) {
        if (expect.kind == VBCTL_ANSWER_STATUS && s->status_count > 0) {
            fprintf(stderr, "vbctl: the status report shows %d, expected %d\n",
                    vbctl_status_field(&s->status, expect.field), expect.value);
        }
        return EXIT_FAILED;
    }
    if (expect.kind == VBCTL_ANSWER_STATUS) {
        printf("%s = %d (shown in the status report)\n", name, expect.value);
    } else {
        printf("%s: acknowledged\n", name);
    }
    return EXIT_OK;
}

int cmd_set(Session* s) {
    const Words& a = s->opt.args;
    VbctlSetRequest req{};
    char error[256] = "";
    if (vbctl_parse_set(a[1], static_cast<int>(a.size() - 2), a.data() + 2, &req, error,
                        sizeof error) != 0) {
        fprintf(stderr, "vbctl: %s\n", error);
        return EXIT_USAGE;
    }
    return run_request(s, req, a[1]);
}

// ---------------------------------------------------------------------------
// Time-lapse, zoom, Wi-Fi

int cmd_timelapse(Session* s) {
    const char* what = s->opt.args[1];
    VbctlSetRequest req{};
    char error[256] = "";
    if (vbctl_parse_timelapse_verb(what, s->opt.interval, s->opt.duration, &req, error,
                                   sizeof error) != 0) {
        fprintf(stderr, "vbctl: %s\n", error);
        return EXIT_USAGE;
    }
    char name[32];
    snprintf(name, sizeof name, "timelapse %s", what);
    return run_request(s, req, name);
}

int cmd_zoom(Session* s) {
    const char* what = s->opt.args[1];
    const char* tenths = s->opt.args.size() == 3 ? s->opt.args[2] : nullptr;
    VbctlSetRequest req{};
    VbctlZoomVerb verb{};
    char error[256] = "";
    if (vbctl_parse_zoom_verb(what, tenths, &verb, &req, error, sizeof error) != 0) {
        fprintf(stderr, "vbctl: %s\n", error);
        return EXIT_USAGE;
    }
    if (verb == VBCTL_ZOOM_SET) return run_request(s, req, "zoom");
    // A step is not answered: the next status reports show the zoom.
    if (wait_status(s) != 0) return EXIT_FAILED;
    mavlink_message_t msg;
    vbctl_build_set_parameter(vbctl_link_next_seq(&s->link), req.item, req.params, &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    if (vbctl_link_pump(&s->link, vbctl_now_ms() + 1500, on_observe, s) == VBCTL_PUMP_CLOSED) {
        fprintf(stderr, "vbctl: the board closed the link\n");
        return EXIT_FAILED;
    }
    printf("zoom: %u.%ux\n", s->status.zoom / 10, s->status.zoom % 10);
    return EXIT_OK;
}

struct Survey {
    Session* session;
    std::vector<VbctlSurveyRow> rows;
};

int on_survey_row(const mavlink_message_t* msg, void* context) {
    Survey* survey = static_cast<Survey*>(context);
    observe(survey->session, msg);
    VbctlSurveyRow row;
    if (vbctl_survey_row(msg, &row) != 0) return 0;
    survey->rows.push_back(row);
    return survey->rows.size() >= row.count ? 1 : 0;
}

// Asks for the survey; 0 with the rows in the board's order.
int run_survey(Session* s, Survey* survey) {
    mavlink_message_t msg;
    vbctl_build_wifi_survey(vbctl_link_next_seq(&s->link), &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    const int end =
        vbctl_link_pump(&s->link, vbctl_now_ms() + timeout_ms(*s), on_survey_row, survey);
    if (end == 1) return EXIT_OK;
    report_pump_end(*s, end, "the Wi-Fi survey", "is another survey running?");
    return EXIT_FAILED;
}

int cmd_wifi_survey(Session* s) {
    Survey survey{s, {}};
    if (run_survey(s, &survey) != 0) return EXIT_FAILED;
    printf("%-8s %-6s %s\n", "CHANNEL", "LEVEL", "IN USE");
    for (const VbctlSurveyRow& row : survey.rows) {
        printf("%-8s %-6s %s\n", row.channel.c_str(), row.level.c_str(), row.inUse ? "yes" : "");
    }
    return EXIT_OK;
}

int cmd_wifi_channel(Session* s, uint32_t channel) {
    mavlink_message_t msg;
    vbctl_build_wifi_channel(vbctl_link_next_seq(&s->link), channel, &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    // A refusal is answered at once; a change drops the link while the access
    // point restarts.
    const VbctlExpect refused = command_ack(VBCTL_WIFI_CHANNEL_ACK);
    s->expect = &refused;
    const int end = vbctl_link_pump(&s->link, vbctl_now_ms() + timeout_ms(*s), on_answer, s);
    s->expect = nullptr;
    if (end == 2) {
        printf("Failed\n");
        return EXIT_FAILED;
    }
    if (end != VBCTL_PUMP_CLOSED) {
        report_pump_end(*s, end, "the channel change", nullptr);
        return EXIT_FAILED;
    }
    printf("access point restarting\n");
    fflush(stdout);
    vbctl_link_close(&s->link);
    // Up to three attempts of a few seconds each, and the way back.
    s->opt.timeout_s = std::max(s->opt.timeout_s, 40.0);
    if (open_link(s) != EXIT_OK) return EXIT_FAILED;
    Survey survey{s, {}};
    if (run_survey(s, &survey) != 0) return EXIT_FAILED;
    for (const VbctlSurveyRow& row : survey.rows) {
        if (row.inUse && row.channel == std::to_string(channel)) {
            printf("channel %u\n", channel);
            return EXIT_OK;
        }
    }
    printf("Failed\n");
    return EXIT_FAILED;
}

int cmd_wifi(Session* s) {
    const Words& a = s->opt.args;
    if (strcmp(a[1], "survey") == 0) return cmd_wifi_survey(s);
    return cmd_wifi_channel(s, static_cast<uint32_t>(strtoul(a[2], nullptr, 10)));
}

void list_items() {
    size_t count = 0;
    const VbctlItemInfo* items = vbctl_items(&count);
    printf("%-15s %4s  %-36s %s\n", "ITEM", "NO.", "VALUES", "");
    for (size_t i = 0; i < count; ++i) {
        printf("%-15s %4u  %-36s %s\n", items[i].name, items[i].item, items[i].usage,
               items[i].help);
    }
}

struct ParamList {
    Session* session;
    std::vector<std::string> lines;
    uint32_t expected = 0;
};

int on_param(const mavlink_message_t* msg, void* context) {
    ParamList* list = static_cast<ParamList*>(context);
    observe(list->session, msg);
    mavlink_pelora_param_value_t pv{};
    if (mavlink_msg_pelora_param_value_decode(msg, &pv) != 0) return 0;
    list->expected = pv.count;
    list->lines.push_back(std::string(pv.name) + " = " + pv.text);
    return list->lines.size() >= list->expected ? 1 : 0;
}

int cmd_params(Session* s) {
    mavlink_message_t msg;
    vbctl_build_param_request_list(vbctl_link_next_seq(&s->link), &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    ParamList list{s, {}, 0};
    const int end = vbctl_link_pump(&s->link, vbctl_now_ms() + timeout_ms(*s), on_param, &list);
    for (const std::string& line : list.lines) printf("%s\n", line.c_str());
    if (end == 1) return EXIT_OK;
    if (!list.lines.empty() && end == VBCTL_PUMP_DEADLINE) {
        fprintf(stderr, "vbctl: received %zu of %u configuration entries\n", list.lines.size(),
                list.expected);
        return EXIT_FAILED;
    }
    report_pump_end(*s, end, "the configuration list", nullptr);
    return EXIT_FAILED;
}

int cmd_timesync(Session* s) {
    if (wait_status(s) != 0) return EXIT_FAILED;
    const bool was_synced = s->status.time_synced != 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int tz = s->opt.tz_hours;
    if (!s->opt.tz_given) {
        tm local{};
        const time_t t = now.tv_sec;
        localtime_r(&t, &local);
        tz = static_cast<int>(local.tm_gmtoff / 3600);
    }
    const int64_t utc_ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    mavlink_message_t msg;
    vbctl_build_timesync(vbctl_link_next_seq(&s->link), utc_ms, tz, &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    VbctlExpect e{};
    e.kind = VBCTL_ANSWER_TIMESYNC;
    e.value1 = -1;
    if (wait_answer(s, e, "the time sync", nullptr) != 0) return EXIT_FAILED;
    if (was_synced) {
        printf("the board clock was already set (it is set once per run)\n");
    } else {
        printf("board clock set to local time (UTC%+d)\n", tz);
    }
    return EXIT_OK;
}

void print_status(const Session& s) {
    char text[2048];
    vbctl_status_format(&s.status, text, sizeof text);
    fputs(text, stdout);
    if (s.have_sd) {
        printf("sd report: %s (state %u), capacity %.0f, free %.0f\n",
               vbctl_sd_report_state_name(s.sd.state), s.sd.state,
               static_cast<double>(s.sd.capacity), static_cast<double>(s.sd.free_space));
    }
    if (s.have_heartbeat) {
        printf("recording: %s", (s.heartbeat_status & 1) != 0 ? "yes" : "no");
        if ((s.heartbeat_status & 1) != 0 && s.rec_seconds >= 0) {
            printf(" (%lld s)", static_cast<long long>(s.rec_seconds));
        }
        printf("\nfile-service stream: %s\n", (s.heartbeat_status & 2) != 0 ? "on" : "off");
    }
    fflush(stdout);
}

int cmd_status(Session* s) {
    mavlink_message_t msg;
    vbctl_build_sd_request(vbctl_link_next_seq(&s->link), &msg);
    if (send_message(s, &msg) != 0) return EXIT_FAILED;
    if (wait_status(s) != 0) return EXIT_FAILED;
    // The card report answers the request and a heartbeat (recording state)
    // comes every 300 ms; give both a moment.
    const int64_t until = vbctl_now_ms() + 1000;
    while ((!s->have_sd || !s->have_heartbeat) && vbctl_now_ms() < until) {
        if (vbctl_link_pump(&s->link, until, on_status_report, s) <= 0) break;
    }
    if (!s->opt.watch) {
        print_status(*s);
        return EXIT_OK;
    }
    const bool tty = isatty(STDOUT_FILENO) != 0;
    const int64_t end_at = s->opt.seconds_given
                               ? vbctl_now_ms() + static_cast<int64_t>(s->opt.seconds * 1000)
                               : INT64_MAX;
    int64_t next_print = 0;
    for (;;) {
        if (vbctl_now_ms() >= next_print) {
            if (tty) fputs("\033[H\033[J", stdout);
            print_status(*s);
            if (!tty) fputs("\n", stdout);
            next_print = vbctl_now_ms() + 1000;
        }
        const int end = vbctl_link_pump(&s->link, std::min(end_at, next_print), on_observe, s);
        if (end == VBCTL_PUMP_INTERRUPTED) return EXIT_OK;
        if (end == VBCTL_PUMP_CLOSED) {
            fprintf(stderr, "vbctl: the board closed the link\n");
            return EXIT_FAILED;
        }
        if (vbctl_now_ms() >= end_at) return EXIT_OK;
    }
}

int on_watch(const mavlink_message_t* msg, void* context) {
    observe(static_cast<Session*>(context), msg);
    char line[1024];
    vbctl_format_message(msg, line, sizeof line);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    const time_t t = now.tv_sec;
    localtime_r(&t, &local);
    printf("%02d:%02d:%02d.%03ld %s\n", local.tm_hour, local.tm_min, local.tm_sec,
           now.tv_nsec / 1000000, line);
    fflush(stdout);
    return 0;
}

int cmd_watch(Session* s) {
    const int64_t end_at = s->opt.seconds_given
                               ? vbctl_now_ms() + static_cast<int64_t>(s->opt.seconds * 1000)
                               : INT64_MAX;
    const int end = vbctl_link_pump(&s->link, end_at, on_watch, s);
    if (end == VBCTL_PUMP_CLOSED) {
        fprintf(stderr, "vbctl: the board closed the link\n");
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Live view

constexpr uint16_t kLivePort = 8856;

// The UDP socket the live view arrives on. The fd, or -1 (reason printed).
int live_socket(const std::string& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "vbctl: cannot create a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    // Room for a burst of full datagrams while the link is being served.
    const int rcvbuf = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kLivePort);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "vbctl: cannot receive on %s:%u: %s\n", address.c_str(), kLivePort,
                strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

struct LiveCapture {
    FILE* file = nullptr;
    bool started = false;    // a key frame has arrived: writing
    uint64_t skipped = 0;    // datagrams before the first key frame
    uint64_t datagrams = 0;  // written
    uint64_t bytes = 0;
    VbctlH264Scan scan;
    bool write_failed = false;
};

// Takes every datagram waiting on `fd` and appends it to the file. Each frame
// begins a datagram; the file starts with the first key frame, since a
// decoder cannot use the frames before it.
void live_drain(int fd, LiveCapture* cap) {
    static std::array<uint8_t, 65536> buf;
    for (;;) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) return;  // nothing more waiting (or an error to retry later)
        if (n == 0) continue;
        if (!cap->started && vbctl_h264_starts_key(buf.data(), static_cast<size_t>(n)) == 0) {
            ++cap->skipped;
            continue;
        }
        cap->started = true;
        ++cap->datagrams;
        cap->bytes += static_cast<uint64_t>(n);
        vbctl_h264_scan(&cap->scan, buf.data(), static_cast<size_t>(n));
        if (fwrite(buf.data(), 1, static_cast<size_t>(n), cap->file) != static_cast<size_t>(n)) {
            cap->write_failed = true;
        }
    }
}

int cmd_live(Session* s, int udp_fd) {
    LiveCapture cap;
    cap.file = fopen(s->opt.output.c_str(), "wb");
    if (cap.file == nullptr) {
        fprintf(stderr, "vbctl: cannot write %s: %s\n", s->opt.output.c_str(), strerror(errno));
        return EXIT_FAILED;
    }
    mavlink_message_t msg;
    vbctl_build_data_stream(vbctl_link_next_seq(&s->link), 1, &msg);
    if (send_message(s, &msg) != 0) {
        fclose(cap.file);
        return EXIT_FAILED;
    }
    const int64_t start = vbctl_now_ms();
    const int64_t end_at =
        s->opt.seconds_given ? start + static_cast<int64_t>(s->opt.seconds * 1000) : INT64_MAX;
    bool closed = false;
    // The link is served in short slices (heartbeats, the board's messages);
    // the datagrams that arrived meanwhile are taken after each slice.
    for (;;) {
        const int64_t slice_end = std::min(end_at, vbctl_now_ms() + 10);
        const int end = vbctl_link_pump(&s->link, slice_end, on_observe, s);
        live_drain(udp_fd, &cap);
        if (end == VBCTL_PUMP_CLOSED) {
            closed = true;
            break;
        }
        if (end == VBCTL_PUMP_INTERRUPTED || vbctl_now_ms() >= end_at) break;
    }
    const double seconds = static_cast<double>(vbctl_now_ms() - start) / 1000.0;
    const bool close_failed = fclose(cap.file) != 0;
    printf("live view: %llu frames, %llu datagrams, %llu bytes in %.1f s -> %s\n",
           static_cast<unsigned long long>(cap.scan.pictures),
           static_cast<unsigned long long>(cap.datagrams),
           static_cast<unsigned long long>(cap.bytes), seconds, s->opt.output.c_str());
    if (cap.skipped > 0) {
        printf("left out %llu datagram(s) that came before the first key frame\n",
               static_cast<unsigned long long>(cap.skipped));
    }
    fflush(stdout);
    if (cap.write_failed || close_failed) {
        fprintf(stderr, "vbctl: writing %s failed\n", s->opt.output.c_str());
        return EXIT_FAILED;
    }
    if (closed) fprintf(stderr, "vbctl: the board closed the link\n");
    if (cap.scan.pictures == 0 && cap.skipped > 0) {
        fprintf(stderr, "vbctl: live view arrived, but no key frame to start the stream with\n");
        return EXIT_FAILED;
    }
    if (cap.scan.pictures == 0) {
        fprintf(stderr,
                "vbctl: no live-view frame arrived on %s:%u (the board sends while a client is "
                "connected and the live-stream switch is on)\n",
                s->opt.bind.c_str(), kLivePort);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// The verbs: what each checks before the network is touched, and what it runs

// True when the verb is followed by exactly one word, `x` or `y`.
bool one_word_of(const Words& a, const char* x, const char* y) {
    return a.size() == 2 && (strcmp(a[1], x) == 0 || strcmp(a[1], y) == 0);
}

struct Verb;
// Checks the words and options of a verb: EXIT_OK, or a usage error printed
// and its exit status.
using VerbCheck = int (*)(const Verb& verb, Options* opt);
// Runs a checked verb: its exit status.
using VerbRun = int (*)(Session* s);

struct Verb {
    const char* name;
    const char* usage;  // its lines in the usage text
    VerbCheck check;
    VerbRun run;
    const char* alias = nullptr;  // an older name that still works
};

int no_words(const Verb& verb, Options* opt) {
    if (opt->args.size() != 1) return usage_error("%s takes no arguments", verb.name);
    return EXIT_OK;
}

int check_mode(const Verb&, Options* opt) {
    if (!one_word_of(opt->args, "photo", "record")) {
        return usage_error("%s", "mode takes photo or record");
    }
    return EXIT_OK;
}

int check_record(const Verb&, Options* opt) {
    if (!one_word_of(opt->args, "start", "stop")) {
        return usage_error("%s", "record takes start or stop");
    }
    if (strcmp(opt->args[1], "stop") == 0 && opt->seconds_given) {
        return usage_error("%s", "--seconds goes with record start");
    }
    return EXIT_OK;
}

int check_set(const Verb&, Options* opt) {
    if (opt->list) return EXIT_OK;  // `set --list` takes no other word
    const Words& a = opt->args;
    if (a.size() < 2) return usage_error("%s", "set needs an item (vbctl set --list lists them)");
    VbctlSetRequest req{};
    char error[256] = "";
    if (vbctl_parse_set(a[1], static_cast<int>(a.size() - 2), a.data() + 2, &req, error,
                        sizeof error) != 0) {
        return usage_error("%s", error);
    }
    return EXIT_OK;
}

int check_timelapse(const Verb&, Options* opt) {
    if (opt->args.size() != 2) {
        return usage_error("%s", "timelapse takes start, pause, resume or stop");
    }
    VbctlSetRequest req{};
    char error[256] = "";
    if (vbctl_parse_timelapse_verb(opt->args[1], opt->interval, opt->duration, &req, error,
                                   sizeof error) != 0) {
        return usage_error("%s", error);
    }
    return EXIT_OK;
}

int check_zoom(const Verb&, Options* opt) {
    const Words& a = opt->args;
    const size_t n = a.size();
    VbctlSetRequest req{};
    VbctlZoomVerb verb{};
    char error[256] = "";
    if (n < 2 || n > 3 ||
        vbctl_parse_zoom_verb(a[1], n == 3 ? a[2] : nullptr, &verb, &req, error, sizeof error) !=
            0) {
        return usage_error("%s", error[0] != '\0' ? error : "zoom takes in, out or set TENTHS");
    }
    return EXIT_OK;
}

int check_wifi(const Verb&, Options* opt) {
    const Words& a = opt->args;
    double channel = 0;
    const bool survey = a.size() == 2 && strcmp(a[1], "survey") == 0;
    const bool change = a.size() == 3 && strcmp(a[1], "channel") == 0 &&
                        parse_number(a[2], 0, 255, &channel) &&
                        channel == static_cast<uint32_t>(channel);
    if (!survey && !change) return usage_error("%s", "wifi takes channel N or survey");
    return EXIT_OK;
}

int check_live(const Verb&, Options* opt) {
    if (opt->args.size() != 1) return usage_error("%s", "live takes no arguments but its options");
    if (opt->output.empty()) return usage_error("%s", "live needs -o FILE");
    return EXIT_OK;
}

int check_track(const Verb&, Options* opt) {
    const Words& a = opt->args;
    uint32_t box[4];
    const bool off = a.size() == 2 && strcmp(a[1], "off") == 0;
    if (!(off && opt->box == nullptr) &&
        !(a.size() == 1 && opt->box != nullptr && vbctl_parse_box(opt->box, box))) {
        return usage_error("%s", "track takes --box X,Y,W,H (W and H 0-65535) or off");
    }
    return EXIT_OK;
}

int check_landpad(const Verb&, Options* opt) {
    if (!one_word_of(opt->args, "on", "off")) return usage_error("%s", "landpad takes on or off");
    return EXIT_OK;
}

// Also collects the files to upload.
int check_upgrade(const Verb&, Options* opt) {
    const Words& a = opt->args;
    const bool verb = one_word_of(a, "status", "clean");
    const VbctlUpgradeOptions& up = opt->upgrade;
    if (!verb && a.size() == 1 && !up.version_given && !up.restart) {
        return usage_error("%s", "upgrade takes files, --version, --restart, status or clean");
    }
    if (!verb) {
        for (size_t i = 1; i < a.size(); ++i) opt->upgrade.files.emplace_back(a[i]);
        if (opt->upgrade.files.size() > 200) return usage_error("%s", "at most 200 files");
    }
    return EXIT_OK;
}

int check_file_words(const Verb&, Options* opt) {
    const std::string error = vbctl_file_usage_error(opt->args);
    if (!error.empty()) return usage_error("%s", error.c_str());
    return EXIT_OK;
}

// Runs `Command` over the board's MAVLink link. Ctrl-C from here on ends the
// command's waits rather than the program.
template <int (*Command)(Session*)>
int over_link(Session* s) {
    vbctl_install_signals();
    if (open_link(s) != EXIT_OK) return EXIT_FAILED;
    const int rc = Command(s);
    vbctl_link_close(&s->link);
    return rc;
}

// `set --list` needs no board.
int run_set(Session* s) {
    if (!s->opt.list) return over_link<cmd_set>(s);
    list_items();
    return EXIT_OK;
}

int run_live(Session* s) {
    vbctl_install_signals();
    // The live view's socket is bound before the stream is switched on.
    const int udp_fd = live_socket(s->opt.bind);
    if (udp_fd < 0) return EXIT_FAILED;
    if (open_link(s) != EXIT_OK) {
        close(udp_fd);
        return EXIT_FAILED;
    }
    const int rc = cmd_live(s, udp_fd);
    close(udp_fd);
    vbctl_link_close(&s->link);
    return rc;
}

VbctlVisionRun vision_run(const Options& opt) {
    return {opt.seconds_given, opt.seconds, opt.timeout_s};
}

int cmd_track(Session* s) {
    uint32_t box[4] = {};
    if (s->opt.box != nullptr && vbctl_parse_box(s->opt.box, box)) {
        return vbctl_track_box(&s->link, box, vision_run(s->opt));
    }
    return vbctl_track_off(&s->link);
}

int cmd_landpad(Session* s) {
    return vbctl_landpad(&s->link, strcmp(s->opt.args[1], "on") == 0, vision_run(s->opt));
}

int cmd_upgrade(Session* s) {
    VbctlUpgradeOptions& up = s->opt.upgrade;
    up.host = s->opt.host;
    up.port = s->opt.port;
    up.file_port = s->opt.files.file_port;
    up.timeout_s = s->opt.timeout_s;
    const Words& a = s->opt.args;
    if (a.size() == 2 && strcmp(a[1], "status") == 0) return vbctl_upgrade_status(&s->link, up);
    if (a.size() == 2 && strcmp(a[1], "clean") == 0) return vbctl_upgrade_clean(&s->link, up);
    return vbctl_upgrade(&s->link, up);
}

// The file-service verbs speak UDP to the file port, not the MAVLink link.
int run_file_command(Session* s) {
    Options& opt = s->opt;
    opt.files.host = opt.host;
    opt.files.timeout_s = opt.timeout_s;
    opt.files.output = opt.output;
    if (opt.seconds_given) opt.files.seconds = opt.seconds;
    vbctl_install_signals();
    return vbctl_file_command(opt.files, opt.args);
}

// Every verb, in the order of the usage text.
constexpr Verb kVerbs[] = {
    {"status", "  status [--watch] [--seconds N]   decoded status report and SD card state\n",
     no_words, over_link<cmd_status>},
    {"mode", "  mode photo|record                 switch the camera mode\n", check_mode,
     over_link<cmd_mode>},
    {"record",
     "  record start [--seconds N]        start recording (and stop after N seconds)\n"
     "  record stop                       stop recording\n",
     check_record, over_link<cmd_record>},
    {"photo", "  photo                             take a photo (also: snap)\n", no_words,
     over_link<cmd_photo>, "snap"},
    {"set", "  set ITEM VALUE...                 set a camera parameter (set --list lists them)\n",
     check_set, run_set},
    {"params", "  params                            the board's configuration, key = value\n",
     no_words, over_link<cmd_params>},
    {"timesync",
     "  timesync [--tz-hours H]           set the board clock from this computer's clock\n",
     no_words, over_link<cmd_timesync>},
    {"watch",
     "  watch [--seconds N]               print every message from the board until Ctrl-C\n",
     no_words, over_link<cmd_watch>},
    {"timelapse",
     "  timelapse start --interval N --duration S\n"
     "                                    video time-lapse: every N-th key frame until the file\n"
     "                                    holds S seconds\n"
     "  timelapse pause|resume|stop       pause, resume or stop the video time-lapse\n",
     check_timelapse, over_link<cmd_timelapse>},
    {"zoom",
     "  zoom in|out|set TENTHS            digital zoom one step, or to TENTHS (10-30: 1.0x-3.0x)\n",
     check_zoom, over_link<cmd_zoom>},
    {"wifi",
     "  wifi channel N                    move the access point to channel N, then check it\n"
     "  wifi survey                       signal level of every channel, the one in use marked\n",
     check_wifi, over_link<cmd_wifi>},
    {"live",
     "  live -o FILE [--seconds N] [--bind ADDR]\n"
     "                                    switch the live view on and write its H.264 stream\n"
     "                                    to FILE (until Ctrl-C without --seconds)\n",
     check_live, run_live},
    {"track",
     "  track --box X,Y,W,H [--seconds N] track the subject in the box (pixels of the\n"
     "                                    640 x 360 picture) and print the boxes reported\n"
     "  track off                         switch tracking off\n",
     check_track, over_link<cmd_track>},
    {"landpad",
     "  landpad on [--seconds N]|off      switch landing-pad detection, print its reports\n",
     check_landpad, over_link<cmd_landpad>},
    {"ls",
     "  ls photos|videos                  the card's photos or videos: PARAM_ID NAME per line\n",
     check_file_words, run_file_command},
    {"info", "  info NAME                         size, duration and picture size of a file\n",
     check_file_words, run_file_command},
    {"get", "  get NAME [-o FILE] [--offset N]   download a file (resume from byte N)\n",
     check_file_words, run_file_command},
    {"rm", "  rm NAME                           delete a file and its thumbnail\n",
     check_file_words, run_file_command},
    {"thumb", "  thumb NAME [-o FILE]              download the 160 x 90 thumbnail of a file\n",
     check_file_words, run_file_command},
    {"play",
     "  play NAME [--seek MS] [--seconds S] -o FILE.h264\n"
     "                                    play a video into FILE.h264 from MS (space pauses,\n"
     "                                    arrow keys seek 10 s on a terminal)\n",
     check_file_words, run_file_command},
    {"stream", "  stream on|off                     switch the live stream on or off\n",
     check_file_words, run_file_command},
    {"upgrade",
     "  upgrade FILE... [--board video|fc|gimbal|repeater] [--version TEXT] [--restart]\n"
     "                                    upload firmware files for one board (default video),\n"
     "                                    set the total version, start the upgrade and follow it\n"
     "  upgrade status                    the upgrade's progress report\n"
     "  upgrade clean                     delete every uploaded firmware file on the board\n",
     check_upgrade, over_link<cmd_upgrade>},
};

const std::string& usage_text() {
    static const std::string text = [] {
        std::string t = kUsageHead;
        for (const Verb& verb : kVerbs) t += verb.usage;
        return t + kUsageTail;
    }();
    return text;
}

const Verb* find_verb(const char* word) {
    for (const Verb& verb : kVerbs) {
        if (strcmp(word, verb.name) == 0) return &verb;
        if (verb.alias != nullptr && strcmp(word, verb.alias) == 0) return &verb;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    Session s;
    if (parse_options(argc, argv, &s.opt) != EXIT_OK) return EXIT_USAGE;
    if (s.opt.args.empty()) return usage_error("%s", "missing command");
    const Verb* verb = find_verb(s.opt.args[0]);
    if (verb == nullptr) return usage_error("unknown command \"%s\"", s.opt.args[0]);
    // The words are checked before the network is touched.
    const int rc = verb->check(*verb, &s.opt);
    if (rc != EXIT_OK) return rc;
    return verb->run(&s);
}
