// fcsim: the flight controller of the simulated board. It sits on the other
// end of the board's serial line (a pseudo-terminal linked at DIR/dev/ttyS5)
// and speaks MAVLink 1.0 as the flight controller does: heartbeats, the GPS
// position along a small circle or at a fixed point, flight-sensor records
// for the video board and gimbal records relayed from the gimbal; camera
// commands on request; the flight controller's and the gimbal's side of the
// firmware step protocol, keeping what they received as
// DIR/sim/fc-firmware.bin and DIR/sim/gimbal-firmware.bin. Every frame the
// board writes to the line is logged to DIR/sim/fc-rx.log, one line each,
// with its bytes in hex.
//
//   fcsim --root DIR [--gps europe|china|LAT,LON,ALT] [--send-camera N]
//         [--camera-delay S] [--hb-to board|phone] [--imu-hz N] [--linger S]
//         [--lose-package N]
//
// Requests while it runs, one per line, to the FIFO DIR/sim/fc-control:
//   camera N [P5 P6]     COMMAND_LONG 203 to the video board with param7 N (1-4)
//   gps LAT,LON,ALT      move to a fixed point (also: gps europe, gps china)
//   link N               the link status N in a quad-status message (3 unbound,
//                        4 or 5 bound: the drone may fly)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "fw_target.h"
#include "mav/mavlink_frame.h"
#include "mav/mavlink_msgs.h"
#include "sim_process.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: fcsim --root DIR [--gps europe|china|LAT,LON,ALT] [--send-camera N]\n"
    "             [--camera-delay S] [--hb-to board|phone] [--imu-hz N] [--linger S]\n"
    "             [--lose-package N]\n"
    "\n"
    "  --root DIR        board root: the line is linked at DIR/dev/ttyS5, received frames\n"
    "                    are logged to DIR/sim/fc-rx.log, requests read from DIR/sim/fc-control\n"
    "  --gps WHERE       europe (default) or china: a 30 m circle around a point there;\n"
    "                    LAT,LON,ALT: a fixed point (degrees, metres)\n"
    "  --send-camera N   send camera command N (1 photo, 2 stop recording, 3 start\n"
    "                    recording, 4 stop time-lapse) once, after the board is up\n"
    "  --camera-delay S  seconds from the board opening the line to that command (default 8)\n"
    "  --hb-to WHO       address heartbeats to the video board (default) or the phone\n"
    "  --imu-hz N        flight-sensor and gimbal records per second (default 5)\n"
    "  --linger S        stop when the board has closed the line for S seconds (default 10)\n"
    "  --lose-package N  firmware upgrade: withhold the acknowledgement of package N once\n"
    "                    (flight controller and gimbal each)\n";

// Board numbers of the system-id nibbles.
constexpr uint8_t kVideo = 2;
constexpr uint8_t kFlyctrl = 3;
constexpr uint8_t kPhone = 4;
constexpr uint8_t kGimbal = 7;
constexpr uint8_t kFcComponent = 1;
constexpr uint8_t kGimbalComponent = 154;
constexpr uint16_t kCmdDigicamControl = 203;
constexpr double kMetresPerDegree = 111320.0;
constexpr double kPi = 3.141592653589793;
constexpr double kCircleRadiusM = 30.0;
constexpr double kCirclePeriodS = 120.0;
constexpr int64_t kHeartbeatMs = 1000;
constexpr int64_t kGpsMs = 1000;
constexpr int kIdleMs = 100;

struct Position {
    double lat = 0;
    double lon = 0;
    double alt = 0;
    double radius = 0;  // metres of the circle around the point; 0 fixed
};

// "europe", "china" or "LAT,LON,ALT". False for anything else.
bool parse_position(std::string_view text, Position* out) {
    if (text == "europe") {
        *out = {46.9480, 7.4474, 540.0, kCircleRadiusM};
        return true;
    }
    if (text == "china") {
        *out = {39.9042, 116.4074, 44.0, kCircleRadiusM};
        return true;
    }
    const std::string s(text);
    double v[3] = {};
    const char* at = s.c_str();
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        errno = 0;
        v[i] = strtod(at, &end);
        if (end == at || errno != 0 || !std::isfinite(v[i])) return false;
        if (i < 2 && *end != ',') return false;
        if (i == 2 && *end != '\0') return false;
        at = end + 1;
    }
    if (v[0] < -90 || v[0] > 90 || v[1] < -180 || v[1] > 180) return false;
    *out = {v[0], v[1], v[2], 0.0};
    return true;
}

struct Options {
    std::string root;
    Position start{46.9480, 7.4474, 540.0, kCircleRadiusM};
    int camera = 0;  // 0: none
    double cameraDelayS = 8;
    uint8_t hbTo = kVideo;
    int imuHz = 5;
    double lingerS = 10;
    int64_t losePackage = -1;
};

bool parse_number(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// 0, or 2 after printing what is wrong.
int parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double n = 0;
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (value == nullptr) {
            fprintf(stderr, "fcsim: %s needs a value\n%s", argv[i], kUsage);
            return 2;
        }
        ++i;
        if (a == "--root") {
            o->root = value;
        } else if (a == "--gps") {
            if (!parse_position(value, &o->start)) {
                fprintf(stderr, "fcsim: --gps takes europe, china or LAT,LON,ALT\n");
                return 2;
            }
        } else if (a == "--send-camera") {
            if (!parse_number(value, 1, 4, &n) || n != std::floor(n)) {
                fprintf(stderr, "fcsim: --send-camera takes 1 to 4\n");
                return 2;
            }
            o->camera = static_cast<int>(n);
        } else if (a == "--camera-delay") {
            if (!parse_number(value, 0, 3600, &o->cameraDelayS)) {
                fprintf(stderr, "fcsim: --camera-delay takes seconds, 0 to 3600\n");
                return 2;
            }
        } else if (a == "--hb-to") {
            if (strcmp(value, "board") != 0 && strcmp(value, "phone") != 0) {
                fprintf(stderr, "fcsim: --hb-to takes board or phone\n");
                return 2;
            }
            o->hbTo = strcmp(value, "board") == 0 ? kVideo : kPhone;
        } else if (a == "--imu-hz") {
            if (!parse_number(value, 1, 50, &n)) {
                fprintf(stderr, "fcsim: --imu-hz takes 1 to 50\n");
                return 2;
            }
            o->imuHz = static_cast<int>(n);
        } else if (a == "--lose-package") {
            if (!parse_number(value, 0, 4294967295.0, &n) || n != std::floor(n)) {
                fprintf(stderr, "fcsim: --lose-package takes a package index\n");
                return 2;
            }
            o->losePackage = static_cast<int64_t>(n);
        } else if (a == "--linger") {
            if (!parse_number(value, 0, 86400, &o->lingerS)) {
                fprintf(stderr, "fcsim: --linger takes seconds\n");
                return 2;
            }
        } else {
            fprintf(stderr, "fcsim: unknown option %s\n%s", argv[i - 1], kUsage);
            return 2;
        }
    }
    if (o->root.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

// ---- the simulated flight controller ----

struct Sim {
    Options opt;
    fs::path link;      // DIR/dev/ttyS5
    fs::path fifoPath;  // DIR/sim/fc-control
    std::string slave;  // the pseudo-terminal's slave device
    int master = -1;
    int fifo = -1;
    int fifoKeep = -1;  // our own writer, so the FIFO never reports end of file
    FILE* rxLog = nullptr;
    mavlink_status_t parser{};
    std::string fifoText;
    Position pos;
    int64_t startMs = 0;
    uint8_t seq = 0;
    uint8_t gimbalSeq = 0;
    bool boardOpen = false;
    bool everOpen = false;
    int64_t closedSinceMs = 0;
    int64_t cameraDueMs = -1;
    int64_t nextHeartbeat = 0;
    int64_t nextGps = 0;
    int64_t nextImu = 0;
    uint32_t dropped = 0;
    // The firmware step protocol of the flight controller and the gimbal.
    std::array<FwTarget, 2> fw{};
};

void send_frame(Sim& s, const mavlink_message_t& msg) {
    if (!s.boardOpen) return;
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
    const int n = mavlink_msg_to_send_buffer(buf, &msg);
    if (n <= 0) return;
    // The line never holds the simulator up: a frame that does not fit while
    // the board is not reading is dropped, as on a real UART without reader.
    if (write(s.master, buf.data(), static_cast<size_t>(n)) != n) ++s.dropped;
}

double elapsed_s(const Sim& s, int64_t now) {
    return static_cast<double>(now - s.startMs) / 1000.0;
}

// The position at `now`: on the circle, or the fixed point.
void position_at(const Sim& s, int64_t now, double* lat, double* lon, double* speed,
                 double* course) {
    *lat = s.pos.lat;
    *lon = s.pos.lon;
    *speed = 0;
    *course = 0;
    if (s.pos.radius <= 0) return;
    const double theta = 2 * kPi * elapsed_s(s, now) / kCirclePeriodS;
    *lat += s.pos.radius * cos(theta) / kMetresPerDegree;
    *lon += s.pos.radius * sin(theta) / (kMetresPerDegree * cos(s.pos.lat * kPi / 180.0));
    *speed = 2 * kPi * s.pos.radius / kCirclePeriodS;
    *course = fmod(theta * 180.0 / kPi + 90.0, 360.0);
}

void send_heartbeat(Sim& s) {
    mavlink_heartbeat_t hb{};
    hb.type = 2;       // quadrotor
    hb.autopilot = 0;  // generic
    hb.base_mode = 0x51;
    hb.system_status = 4;  // active
    hb.mavlink_version = 3;
    mavlink_message_t msg;
    mavlink_msg_heartbeat_pack(mavlink_sysid(kFlyctrl, s.opt.hbTo), kFcComponent, s.seq++, &hb,
                               &msg);
    send_frame(s, msg);
}

// GPS_RAW_INT and the dialect's altitude message, addressed to the phone: the
// video board keeps the position from them in passing and relays them.
void send_gps(Sim& s, int64_t now) {
    double lat = 0, lon = 0, speed = 0, course = 0;
    position_at(s, now, &lat, &lon, &speed, &course);
    mavlink_gps_raw_int_t gps{};
    gps.time_usec = static_cast<uint64_t>(now - s.startMs) * 1000U;
    gps.lat = static_cast<int32_t>(std::lround(lat * 1e7));
    gps.lon = static_cast<int32_t>(std::lround(lon * 1e7));
    gps.alt = static_cast<int32_t>(std::lround(s.pos.alt * 1000.0));
    gps.eph = 120;
    gps.epv = 180;
    gps.vel = static_cast<uint16_t>(std::lround(speed * 100.0));
    gps.cog = static_cast<uint16_t>(std::lround(course * 100.0));
    gps.fix_type = 3;
    gps.satellites_visible = 14;
    mavlink_message_t msg;
    mavlink_msg_gps_raw_int_pack(mavlink_sysid(kFlyctrl, kPhone), kFcComponent, s.seq++, &gps,
                                 &msg);
    send_frame(s, msg);
    const mavlink_pelora_gps_info_t info{static_cast<float>(s.pos.alt)};
    mavlink_msg_pelora_gps_info_pack(mavlink_sysid(kFlyctrl, kPhone), kFcComponent, s.seq++, &info,
                                     &msg);
    send_frame(s, msg);
}

// Thirteen sensor values around a hovering drone: accelerations (m/s²),
// rotation rates (rad/s), magnetic field (gauss), pressures (hPa), pressure
// altitude (m) and temperature (°C), with a slow wobble so records differ.
void sensor_values(const Sim& s, int64_t now, float temperature, float* v) {
    const double t = elapsed_s(s, now);
    const double wobble = sin(2 * kPi * t / 3.0);
    const double values[MAVLINK_IMU_FLOATS] = {
        0.05 * wobble,
        -0.03 * wobble,
        -9.81 + 0.02 * wobble,
        0.01 * wobble,
        0.005 * wobble,
        -0.002 * wobble,
        0.21,
        0.02,
        0.43,
        1013.25 - s.pos.alt * 0.12,
        0.0,
        s.pos.alt,
        temperature,
    };
    for (size_t i = 0; i < MAVLINK_IMU_FLOATS; ++i) v[i] = static_cast<float>(values[i]);
}

// HIL_SENSOR for the video board's flight log, and the gimbal's HIGHRES_IMU,
// which the flight controller passes on from the gimbal.
void send_imu(Sim& s, int64_t now) {
    const uint64_t usec = static_cast<uint64_t>(now - s.startMs) * 1000U;
    mavlink_hil_sensor_t hil{};
    hil.time_usec = usec;
    sensor_values(s, now, 25.0F, hil.values);
    hil.fields_updated = 0x1FFF;
    mavlink_message_t msg;
    mavlink_msg_hil_sensor_pack(mavlink_sysid(kFlyctrl, kVideo), kFcComponent, s.seq++, &hil, &msg);
    send_frame(s, msg);
    mavlink_highres_imu_t imu{};
    imu.time_usec = usec;
    sensor_values(s, now, 41.5F, imu.values);
    imu.fields_updated = 0x1FFF;
    mavlink_msg_highres_imu_pack(mavlink_sysid(kGimbal, kVideo), kGimbalComponent, s.gimbalSeq++,
                                 &imu, &msg);
    send_frame(s, msg);
}

void send_camera(Sim& s, int command, float p5, float p6) {
    if (!s.boardOpen) {
        fprintf(stderr, "fcsim: board not on the line, camera %d not sent\n", command);
        return;
    }
    mavlink_command_long_t cmd{};
    cmd.command = kCmdDigicamControl;
    cmd.target_system = kVideo;
    cmd.target_component = 0;
    cmd.param5 = p5;
    cmd.param6 = p6;
    cmd.param7 = static_cast<float>(command);
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(mavlink_sysid(kFlyctrl, kVideo), kFcComponent, s.seq++, &cmd,
                                  &msg);
    send_frame(s, msg);
    fprintf(stderr, "fcsim: sent camera %d\n", command);
}

// ---- what the board writes ----

const char* message_name(uint8_t msgid) {
    const char* name = mavlink_msg_name(msgid);
    if (name != nullptr) return name;
    switch (msgid) {
        case 69:
            return "MANUAL_CONTROL";
        case 70:
            return "RC_CHANNELS_OVERRIDE";
        default:
            return "UNKNOWN";
    }
}

void log_frame(Sim& s, const mavlink_message_t& m) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
    std::array<uint8_t, MAVLINK_MAX_PACKET_LEN> buf{};
    const int n = mavlink_msg_to_send_buffer(buf, &m);
    std::string hex;
    hex.reserve(static_cast<size_t>(n) * 2);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        hex += kDigits[buf[static_cast<size_t>(i)] >> 4];
        hex += kDigits[buf[static_cast<size_t>(i)] & 15];
    }
    fprintf(s.rxLog, "%s.%03dZ sys=%u(%u>%u) comp=%u seq=%u id=%u %s %s\n", when,
            static_cast<int>(ts.tv_nsec / 1000000), m.sysid, mavlink_sysid_sender(m.sysid),
            mavlink_sysid_target(m.sysid), m.compid, m.seq, m.msgid, message_name(m.msgid),
            hex.c_str());
    fflush(s.rxLog);
}

// Keeps what a board received once its restart was acknowledged, replacing
// the file in one step.
void save_firmware(const Sim& s, const FwTarget& t) {
    const fs::path file = s.link.parent_path().parent_path() / "sim" /
                          (t.board == kGimbal ? "gimbal-firmware.bin" : "fc-firmware.bin");
    const int rc = fw_target_save(t, file.string());
    fprintf(stderr, "fcsim: %s firmware %zu bytes, md5 %s%s\n",
            t.board == kGimbal ? "gimbal" : "flight controller", t.firmware.size(),
            fw_target_md5(t.firmware).c_str(), rc == 0 ? "" : " (not saved)");
}

void firmware_message(Sim& s, const mavlink_message_t& m) {
    for (FwTarget& t : s.fw) {
        const bool wasRestarted = t.restarted;
        std::vector<mavlink_message_t> answers;
        if (!fw_target_handle(t, m, &answers)) continue;
        for (const mavlink_message_t& a : answers) send_frame(s, a);
        if (t.restarted && !wasRestarted) save_firmware(s, t);
    }
}

void read_line_bytes(Sim& s) {
    std::array<uint8_t, 4096> buf{};
    for (;;) {
        const ssize_t n = read(s.master, buf.data(), buf.size());
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            mavlink_message_t m;
            if (mavlink_parse_char(&s.parser, buf[static_cast<size_t>(i)], &m) == 1) {
                log_frame(s, m);
                firmware_message(s, m);
            }
        }
    }
}

// ---- requests ----

void send_link_status(Sim& s, int status) {
    if (!s.boardOpen) {
        fprintf(stderr, "fcsim: board not on the line, link %d not sent\n", status);
        return;
    }
    const mavlink_pelora_quad_status_t qs{static_cast<uint8_t>(status)};
    mavlink_message_t msg;
    mavlink_msg_pelora_quad_status_pack(mavlink_sysid(kFlyctrl, kVideo), kFcComponent, s.seq++, &qs,
                                        &msg);
    send_frame(s, msg);
    fprintf(stderr, "fcsim: sent link status %d\n", status);
}

void handle_request(Sim& s, const std::string& line, int64_t now) {
    char word[16] = {};
    char arg[128] = {};
    const int fields = sscanf(line.c_str(), "%15s %127s", word, arg);
    if (fields <= 0) return;
    if (strcmp(word, "camera") == 0) {
        int command = 0;
        float p5 = 0, p6 = 0;
        if (sscanf(line.c_str(), "camera %d %f %f", &command, &p5, &p6) >= 1 && command >= 1 &&
            command <= 4) {
            send_camera(s, command, p5, p6);
            return;
        }
    } else if (strcmp(word, "link") == 0 && fields == 2) {
        const int status = atoi(arg);
        if (status >= 0 && status <= 255) {
            send_link_status(s, status);
            return;
        }
    } else if (strcmp(word, "gps") == 0 && fields == 2) {
        Position p;
        if (parse_position(arg, &p)) {
            s.pos = p;
            fprintf(stderr, "fcsim: position %.7f,%.7f,%.2f%s\n", p.lat, p.lon, p.alt,
                    p.radius > 0 ? " (circling)" : "");
            send_gps(s, now);
            s.nextGps = now + kGpsMs;
            return;
        }
    }
    fprintf(stderr,
            "fcsim: unknown request \"%s\" (camera N [P5 P6] | gps LAT,LON,ALT | link N)\n",
            line.c_str());
}

void read_requests(Sim& s, int64_t now) {
    std::array<char, 512> buf{};
    for (;;) {
        const ssize_t n = read(s.fifo, buf.data(), buf.size());
        if (n <= 0) break;
        s.fifoText.append(buf.data(), static_cast<size_t>(n));
    }
    size_t eol = 0;
    while ((eol = s.fifoText.find('\n')) != std::string::npos) {
        std::string line = s.fifoText.substr(0, eol);
        s.fifoText.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        handle_request(s, line, now);
    }
    if (s.fifoText.size() > 4096) s.fifoText.clear();  // no line end in sight
}

// ---- set-up and tear-down ----

int open_line(Sim& s) {
    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    std::array<char, 128> name{};
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0 ||
        ptsname_r(s.master, name.data(), name.size()) != 0) {
        fprintf(stderr, "fcsim: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return -1;
    }
    s.slave = name.data();
    // The line is raw from the start: a new pseudo-terminal echoes and edits
    // lines, which would send the simulator's own frames back to it before the
    // board has configured its side. The setting outlives this descriptor.
    const int fd = open(s.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "fcsim: cannot configure %s: %s\n", s.slave.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B460800);
    cfsetospeed(&t, B460800);
    tcsetattr(fd, TCSANOW, &t);
    close(fd);

    // Replace the link in one step, so the board never sees a half-made one.
    std::error_code ec;
    fs::create_directories(s.link.parent_path(), ec);
    const fs::path tmp = s.link.string() + ".fcsim";
    fs::remove(tmp, ec);
    fs::create_symlink(s.slave, tmp, ec);
    if (!ec) fs::rename(tmp, s.link, ec);
    if (ec) {
        fprintf(stderr, "fcsim: cannot link %s: %s\n", s.link.c_str(), ec.message().c_str());
        return -1;
    }
    return 0;
}

int open_fifo(Sim& s) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(s.fifoPath, ec)) && !fs::is_fifo(s.fifoPath, ec))
        fs::remove(s.fifoPath, ec);
    if (!fs::is_fifo(s.fifoPath, ec) && mkfifo(s.fifoPath.c_str(), 0600) != 0) {
        fprintf(stderr, "fcsim: cannot make %s: %s\n", s.fifoPath.c_str(), strerror(errno));
        return -1;
    }
    s.fifo = open(s.fifoPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (s.fifo >= 0) s.fifoKeep = open(s.fifoPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (s.fifo < 0 || s.fifoKeep < 0) {
        fprintf(stderr, "fcsim: cannot open %s: %s\n", s.fifoPath.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

void tear_down(Sim& s) {
    std::error_code ec;
    // Remove the link only while it is still ours: a newer simulator may have
    // replaced it.
    if (fs::read_symlink(s.link, ec) == fs::path(s.slave)) fs::remove(s.link, ec);
    if (s.fifo >= 0) {
        close(s.fifo);
        close(s.fifoKeep);
        fs::remove(s.fifoPath, ec);
    }
    if (s.master >= 0) close(s.master);
    if (s.rxLog != nullptr) fclose(s.rxLog);
}

// True while the board side has the line open: the master reports a hang-up
// whenever no one holds the slave.
bool board_on_line(const Sim& s) {
    pollfd p{s.master, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return s.boardOpen;
    return (p.revents & POLLHUP) == 0;
}

// The next time a periodic message is due; after a stall it resumes from now
// instead of sending the missed ones in a burst.
int64_t next_due(int64_t due, int64_t period, int64_t now) {
    due += period;
    return due > now ? due : now + period;
}

// One pass of the main loop. False when the simulator should stop.
bool step(Sim& s) {
    const int64_t now = sim_now_ms();
    const bool open = board_on_line(s);
    if (open != s.boardOpen) {
        s.boardOpen = open;
        fprintf(stderr, "fcsim: board %s the line\n", open ? "opened" : "closed");
        if (open && !s.everOpen && s.opt.camera != 0)
            s.cameraDueMs = now + static_cast<int64_t>(s.opt.cameraDelayS * 1000);
        s.everOpen = s.everOpen || open;
        s.closedSinceMs = now;
        mavlink_parser_reset(&s.parser);
        s.nextHeartbeat = s.nextGps = s.nextImu = now;
    }
    if (!s.boardOpen && s.everOpen &&
        now - s.closedSinceMs >= static_cast<int64_t>(s.opt.lingerS * 1000)) {
        fprintf(stderr, "fcsim: the board left the line, stopping\n");
        return false;
    }
    if (s.boardOpen) {
        if (now >= s.nextHeartbeat) {
            send_heartbeat(s);
            s.nextHeartbeat = next_due(s.nextHeartbeat, kHeartbeatMs, now);
        }
        if (now >= s.nextGps) {
            send_gps(s, now);
            s.nextGps = next_due(s.nextGps, kGpsMs, now);
        }
        if (now >= s.nextImu) {
            send_imu(s, now);
            s.nextImu = next_due(s.nextImu, 1000 / s.opt.imuHz, now);
        }
        if (s.cameraDueMs >= 0 && now >= s.cameraDueMs) {
            s.cameraDueMs = -1;
            send_camera(s, s.opt.camera, 0, 0);
        }
    }

    int64_t wait = kIdleMs;
    if (s.boardOpen) {
        for (const int64_t due : {s.nextHeartbeat, s.nextGps, s.nextImu})
            wait = std::min(wait, std::max<int64_t>(0, due - now));
    }
    // A hung-up master is always "ready"; leave it out until the board is back.
    std::array<pollfd, 2> fds{{{s.boardOpen ? s.master : -1, POLLIN, 0}, {s.fifo, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), static_cast<int>(wait)) > 0) {
        if ((fds[0].revents & POLLIN) != 0) read_line_bytes(s);
        if ((fds[1].revents & POLLIN) != 0) read_requests(s, sim_now_ms());
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Sim s;
    if (const int rc = parse_options(argc, argv, &s.opt); rc != 0) return rc;
    std::error_code ec;
    const fs::path root = fs::absolute(s.opt.root, ec).lexically_normal();
    s.link = root / "dev/ttyS5";
    s.fifoPath = root / "sim/fc-control";
    s.pos = s.opt.start;
    s.startMs = sim_now_ms();
    s.fw[0].board = kFlyctrl;
    s.fw[1].board = kGimbal;
    for (FwTarget& t : s.fw) t.lose_package = s.opt.losePackage;

    // Started by the launcher: go when it goes, whatever way it ends.
    sim_process_setup();

    fs::create_directories(root / "sim", ec);
    s.rxLog = fopen((root / "sim/fc-rx.log").c_str(), "ae");
    if (s.rxLog == nullptr) {
        fprintf(stderr, "fcsim: cannot open %s: %s\n", (root / "sim/fc-rx.log").c_str(),
                strerror(errno));
        return 1;
    }
    if (open_fifo(s) != 0 || open_line(s) != 0) {
        tear_down(s);
        return 1;
    }
    fprintf(stderr, "fcsim: flight controller on %s (%s)\n", s.link.c_str(), s.slave.c_str());

    while (sim_stop_signal() == 0 && step(s)) {
    }
    if (s.dropped != 0) fprintf(stderr, "fcsim: %u frames dropped on a full line\n", s.dropped);
    tear_down(s);
    fprintf(stderr, "fcsim: stopped\n");
    return 0;
}
