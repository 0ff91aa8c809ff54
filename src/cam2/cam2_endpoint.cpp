#include "cam2/cam2_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "board/board.h"
#include "cam2/cam2_camera.h"
#include "cam2/cam2_rtp.h"
#include "cam2/mav2_frame.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "state/drone_position.h"
#include "vps/vps_event.h"

namespace {

constexpr uint16_t kStationPort = 14550;
constexpr int64_t kPeerSilenceMs = 10000;
constexpr size_t kMaxPeers = 4;
constexpr int kTickMs = 20;
constexpr int kDatagramsPerTick = 256;  // a flood cannot starve the timers
constexpr int64_t kHeartbeatMs = 1000;
constexpr int64_t kPositionMs = 500;
constexpr int64_t kFlyctrlSilenceMs = 3000;  // longer: the vehicle is gone
constexpr size_t kEventQueueMax = 64;
constexpr const char* kImageLog = "/usr/data/cam2_images.log";

enum : uint32_t { MSG_HEARTBEAT = 0, MSG_GLOBAL_POSITION_INT = 33, MSG_COMMAND_LONG = 76,
                  MSG_COMMAND_ACK = 77 };

// HEARTBEAT values: MAV_TYPE, MAV_AUTOPILOT, MAV_STATE.
constexpr uint8_t kTypeCamera = 30;
constexpr uint8_t kTypeQuadrotor = 2;
constexpr uint8_t kAutopilotInvalid = 8;
constexpr uint8_t kAutopilotGeneric = 0;
constexpr uint8_t kStateActive = 4;
constexpr uint8_t kMavlinkVersion = 3;

struct Peer {
    sockaddr_in addr;
    int64_t lastMs;
    bool wantsVideo;
};

bool same_peer(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Camera notifications, queued by the observer for the endpoint's thread.
std::mutex g_eventLock;
std::deque<VpsEvt> g_events;
bool g_acceptEvents = false;

int on_camera_event(const VpsEvt* evt) {
    std::lock_guard lock(g_eventLock);
    if (!g_acceptEvents || g_events.size() >= kEventQueueMax) return 0;
    g_events.push_back(*evt);
    return 0;
}

class Endpoint {
public:
    Endpoint(const Cam2Config& config, int sock)
        : cfg_(config), sock_(sock), camera_(kImageLog), startMs_(steady_ms()) {
        station_.sin_family = AF_INET;
        station_.sin_port = htons(kStationPort);
        inet_pton(AF_INET, cfg_.groundStation.c_str(), &station_.sin_addr);
        in_addr video{};
        if (!cfg_.videoTo.empty() && inet_pton(AF_INET, cfg_.videoTo.c_str(), &video) == 1)
            videoTo_ = video.s_addr;
    }
    ~Endpoint() { close(sock_); }

    void run(const std::atomic<bool>& stop) {
        std::vector<uint8_t> buf(2048);
        while (!stop.load()) {
            pollfd p{sock_, POLLIN, 0};
            if (poll(&p, 1, kTickMs) > 0) {
                for (int i = 0; i < kDatagramsPerTick; ++i) {
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    const ssize_t n = recvfrom(sock_, buf.data(), buf.size(), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &len);
                    if (n <= 0) break;
                    if (len == sizeof from && from.sin_family == AF_INET)
                        datagram(std::span(buf.data(), static_cast<size_t>(n)), from);
                }
            }
            timers(now());
        }
    }

private:
    int64_t now() const { return steady_ms() - startMs_; }

    void datagram(std::span<const uint8_t> bytes, const sockaddr_in& from) {
        // Each datagram holds whole frames: a fresh parser, so that a cut
        // frame cannot swallow the start of the next datagram.
        Mav2Parser parser;
        Mav2Frame frame;
        for (const uint8_t c : bytes) {
            if (!parser.feed(c, &frame)) continue;
            Peer* peer = heard(from);
            if (peer == nullptr) continue;
            if (frame.msgid == MSG_COMMAND_LONG) command(frame, *peer);
        }
    }

    // The peer of a valid frame, refreshed; null when four others are live.
    Peer* heard(const sockaddr_in& from) {
        const int64_t t = now();
        for (Peer& p : peers_) {
            if (same_peer(p.addr, from)) {
                p.lastMs = t;
                return &p;
            }
        }
        if (peers_.size() >= kMaxPeers) return nullptr;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        PLR_TRACE(PLR_LOG_I, "ground station %s:%u", ip, ntohs(from.sin_port));
        peers_.push_back({from, t, false});
        return &peers_.back();
    }

    void command(const Mav2Frame& frame, Peer& peer) {
        const Mav2Message cmd = frame.message();
        const auto target = static_cast<uint8_t>(cmd.get_int("target_system"));
        const auto component = static_cast<uint8_t>(cmd.get_int("target_component"));
        if (target != cfg_.sysid && target != 0) return;
        if (component == CAM2_VEHICLE_COMPID) {
            // The vehicle here only stands in for the flight controller: it
            // takes no command, and says so, so that stations stop retrying.
            if (vehicle_present()) ack(frame, CAM2_VEHICLE_COMPID, CAM2_UNSUPPORTED, peer);
            return;
        }
        if (component != CAM2_CAMERA_COMPID && component != 0) return;
        const uint64_t requester = (uint64_t{peer.addr.sin_addr.s_addr} << 32) |
                                   (uint64_t{peer.addr.sin_port} << 16) |
                                   (uint64_t{frame.sysid} << 8) | frame.compid;
        const Cam2Reply reply = camera_.command(cmd, requester, now());
        ack(frame, CAM2_CAMERA_COMPID, reply.result, peer);
        for (const Mav2Message& m : reply.messages) send(m, CAM2_CAMERA_COMPID, peer.addr);
        if (reply.stream == Cam2Stream::Start) peer.wantsVideo = true;
        if (reply.stream == Cam2Stream::Stop) peer.wantsVideo = false;
        if (reply.stream != Cam2Stream::Unchanged) update_video();
    }

    void ack(const Mav2Frame& frame, uint8_t compid, uint8_t result, const Peer& peer) {
        Mav2Message a(MSG_COMMAND_ACK);
        a.set_int("command", frame.message().get_int("command"));
        a.set_int("result", result);
        a.set_int("target_system", frame.sysid);
        a.set_int("target_component", frame.compid);
        send(a, compid, peer.addr);
    }

    void send(const Mav2Message& m, uint8_t compid, const sockaddr_in& to) {
        std::array<uint8_t, MAV2_MAX_FRAME> out{};
        const size_t n = mav2_frame_write(out, m, seq_++, cfg_.sysid, compid);
        if (n == 0) return;
        if (sendto(sock_, out.data(), n, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) < 0 &&
            !sendErrorLogged_) {
            sendErrorLogged_ = true;
            PLR_TRACE(PLR_LOG_W, "ground station send failed: %s", strerror(errno));
        }
    }

    // To every live station, or before any has spoken (heartbeats only) to
    // the ground-station address.
    void broadcast(const Mav2Message& m, uint8_t compid, bool beforeStations = false) {
        if (peers_.empty()) {
            if (beforeStations) send(m, compid, station_);
            return;
        }
        for (const Peer& p : peers_) send(m, compid, p.addr);
    }

    bool vehicle_present() const {
        const int64_t silent = MavlinkFlyctrlSilentMs();
        return silent >= 0 && silent < kFlyctrlSilenceMs;
    }

    void timers(int64_t t) {
        std::deque<VpsEvt> events;
        {
            std::lock_guard lock(g_eventLock);
            events.swap(g_events);
        }
        for (const VpsEvt& e : events)
            for (const Mav2Message& m : camera_.on_camera_event(e, t))
                broadcast(m, CAM2_CAMERA_COMPID);
        for (const Mav2Message& m : camera_.tick(t)) broadcast(m, CAM2_CAMERA_COMPID);

        const size_t before = peers_.size();
        std::erase_if(peers_, [t](const Peer& p) { return t - p.lastMs > kPeerSilenceMs; });
        if (peers_.size() != before) update_video();

        if (t >= nextHeartbeatMs_) {
            nextHeartbeatMs_ = t + kHeartbeatMs;
            broadcast(heartbeat(kTypeCamera, kAutopilotInvalid), CAM2_CAMERA_COMPID, true);
            if (vehicle_present())
                broadcast(heartbeat(kTypeQuadrotor, kAutopilotGeneric), CAM2_VEHICLE_COMPID, true);
        }
        if (t >= nextPositionMs_) {
            nextPositionMs_ = t + kPositionMs;
            if (vehicle_present() && MavlinkGetGPSFix() >= 2)
                broadcast(position(t), CAM2_VEHICLE_COMPID);
        }
    }

    static Mav2Message heartbeat(uint8_t type, uint8_t autopilot) {
        Mav2Message m(MSG_HEARTBEAT);
        m.set_int("type", type);
        m.set_int("autopilot", autopilot);
        m.set_int("system_status", kStateActive);
        m.set_int("mavlink_version", kMavlinkVersion);
        return m;
    }

    static Mav2Message position(int64_t t) {
        Mav2Message m(MSG_GLOBAL_POSITION_INT);
        m.set_int("time_boot_ms", static_cast<uint32_t>(t));
        m.set_int("lat", MavlinkGetGPSLatitude());
        m.set_int("lon", MavlinkGetGPSLongtitude());
        m.set_int("alt", static_cast<int64_t>(MavlinkGetGPSAltitude()) * 100);
        m.set_int("hdg", 65535);  // unknown
        return m;
    }

    void update_video() {
        std::vector<in_addr_t> to;
        if (videoTo_ != 0) to.push_back(videoTo_);
        for (const Peer& p : peers_)
            if (p.wantsVideo && std::find(to.begin(), to.end(), p.addr.sin_addr.s_addr) == to.end())
                to.push_back(p.addr.sin_addr.s_addr);
        cam2_rtp_set_destinations(to);
        camera_.set_streaming(!to.empty());
    }

    Cam2Config cfg_;
    int sock_;
    Cam2Camera camera_;
    int64_t startMs_;
    sockaddr_in station_{};
    in_addr_t videoTo_ = 0;
    std::vector<Peer> peers_;
    uint8_t seq_ = 0;
    int64_t nextHeartbeatMs_ = 0;
    int64_t nextPositionMs_ = 0;
    bool sendErrorLogged_ = false;
};

std::mutex g_lifeLock;
std::unique_ptr<Endpoint> g_endpoint;
std::atomic<bool> g_stop{false};
std::thread g_thread;

int open_socket(const Cam2Config& cfg) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // The ground-station address may be the access point's broadcast address.
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cfg.port);
    inet_pton(AF_INET, board_listen_address(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        PLR_TRACE(PLR_LOG_E, "ground-station port %u: %s", cfg.port, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// A whole number from `lo` to `hi`, or `fallback` for an absent or bad text.
long config_number(const char* key, long lo, long hi, long fallback) {
    const char* text = CclGetKeyvalue(key);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (*end != '\0' || v < lo || v > hi) {
        PLR_TRACE(PLR_LOG_W, "%s=%s is not %ld to %ld: %ld taken", key, text, lo, hi, fallback);
        return fallback;
    }
    return v;
}

}  // namespace

Cam2Config cam2_config_load() {
    Cam2Config c;
    const char* on = CclGetKeyvalue("Mav2Camera");
    c.enabled = on == nullptr || (strcmp(on, "off") != 0 && strcmp(on, "0") != 0);
    c.sysid = static_cast<uint8_t>(config_number("Mav2SystemId", 1, 255, 1));
    c.port = static_cast<uint16_t>(config_number("Mav2Port", 1, 65535, 14555));
    in_addr check{};
    const char* station = CclGetKeyvalue("Mav2GroundStation");
    c.groundStation = station != nullptr && inet_pton(AF_INET, station, &check) == 1
                          ? station
                          : board_ground_station_address();
    const char* video = CclGetKeyvalue("Mav2VideoTo");
    if (video != nullptr && inet_pton(AF_INET, video, &check) == 1) c.videoTo = video;
    return c;
}

int PLR_CAM2_Init() {
    return PLR_CAM2_InitWith(cam2_config_load());
}

int PLR_CAM2_InitWith(const Cam2Config& config) {
    std::lock_guard life(g_lifeLock);
    if (g_endpoint != nullptr) return 0;
    if (!config.enabled) {
        PLR_TRACE(PLR_LOG_I, "ground-station camera switched off");
        return 0;
    }
    const int fd = open_socket(config);
    if (fd < 0) return -1;
    g_endpoint = std::make_unique<Endpoint>(config, fd);
    {
        std::lock_guard lock(g_eventLock);
        g_events.clear();
        g_acceptEvents = true;
    }
    PLR_VPS_AddEvtObserver(on_camera_event);
    cam2_rtp_start();
    g_stop.store(false);
    try {
        g_thread = std::thread([] { g_endpoint->run(g_stop); });
    } catch (const std::system_error&) {
        PLR_VPS_RemoveEvtObserver(on_camera_event);
        cam2_rtp_stop();
        g_endpoint.reset();
        return -1;
    }
    PLR_TRACE(PLR_LOG_I, "ground-station camera on UDP %u, system %u", config.port, config.sysid);
    return 0;
}

int PLR_CAM2_Deinit() {
    std::lock_guard life(g_lifeLock);
    if (g_endpoint == nullptr) return 0;
    g_stop.store(true);
    if (g_thread.joinable()) g_thread.join();
    PLR_VPS_RemoveEvtObserver(on_camera_event);
    {
        std::lock_guard lock(g_eventLock);
        g_acceptEvents = false;
        g_events.clear();
    }
    cam2_rtp_stop();
    g_endpoint.reset();
    return 0;
}
