#include "vbctl/vbctl_files.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "fs/fs_wire.h"
#include "vbctl/vbctl_link.h"
#include "vbctl/vbctl_proto.h"

// Downloaded recordings pass 2 GiB: the opens, sizes and seeks here need 64-bit file offsets, also
// on the 32-bit board (_FILE_OFFSET_BITS=64 is set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
// A request is sent again when nothing at all came back within this time (the
// request datagram itself may have been lost; the board resends its own
// frames within 200 ms).
constexpr int64_t kRequestRetryMs = 2000;
// An empty list is answered with nothing: this much silence means empty.
constexpr int64_t kEmptyListMs = 3000;
constexpr size_t kRecentStamps = 64;

struct Client {
    VbctlFileOptions opt;
    int fd = -1;
    sockaddr_in file_addr{};
    sockaddr_in ack_addr{};
    uint8_t seq = 0;
    std::deque<uint32_t> recent;  // stamps of frames already taken
    uint64_t duplicates = 0;
};

// What one received frame carried.
struct Delivery {
    uint8_t tag = 0;
    std::vector<mavlink_message_t> messages;  // tags 0 and 1
    const uint8_t* data = nullptr;            // tag 2
    size_t size = 0;
};

int open_client(Client* c) {
    c->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        fprintf(stderr, "vbctl: cannot create a UDP socket: %s\n", strerror(errno));
        return -1;
    }
    const int rcvbuf = 8 << 20;
    setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    for (auto [addr, port] :
         {std::pair{&c->file_addr, c->opt.file_port}, std::pair{&c->ack_addr, c->opt.ack_port}}) {
        addr->sin_family = AF_INET;
        addr->sin_port = htons(port);
        if (inet_pton(AF_INET, c->opt.host.c_str(), &addr->sin_addr) != 1) {
            fprintf(stderr, "vbctl: %s is not an IPv4 address\n", c->opt.host.c_str());
            return -1;
        }
    }
    return 0;
}

int send_request(Client* c, const mavlink_message_t* msg) {
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    const int len = mavlink_msg_to_send_buffer(buf, msg);
    if (len < 0) return -1;
    if (sendto(c->fd, buf, static_cast<size_t>(len), 0,
               reinterpret_cast<const sockaddr*>(&c->file_addr), sizeof c->file_addr) != len) {
        fprintf(stderr, "vbctl: sending to the file port failed: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

// The phone switches the live stream off before it uses the file service.
int send_stream(Client* c, uint8_t on) {
    mavlink_message_t msg;
    vbctl_build_data_stream(c->seq++, on, &msg);
    return send_request(c, &msg);
}

uint8_t uri_type_of(const char* name) {
    if (strstr(name, "jpg") != nullptr || strstr(name, "JPG") != nullptr ||
        strstr(name, "JPEG") != nullptr) {
        return FS_URI_PIC;
    }
    return FS_URI_VIDEO;
}

int send_resource(Client* c, uint8_t uri_type, const char* name, uint8_t transfer,
                  uint64_t storage) {
    mavlink_resource_request_t req{};
    req.uri_type = uri_type;
    snprintf(reinterpret_cast<char*>(req.uri), sizeof req.uri, "%s", name);
    req.transfer_type = transfer;
    snprintf(reinterpret_cast<char*>(req.storage), sizeof req.storage, "%" PRIu64, storage);
    mavlink_message_t msg;
    mavlink_msg_resource_request_pack(VBCTL_SYSID, VBCTL_COMPID, c->seq++, &req, &msg);
    if (send_stream(c, 0) != 0) return -1;
    return send_request(c, &msg);
}

// Waits for the next new frame until `deadline_ms`; acknowledges every valid
// frame (also repeats, whose acknowledgement may have been lost). 1 with the
// frame's payload in `buf`/`d`, 0 at the deadline, -1 on Ctrl-C or a socket
// error.
int receive(Client* c, int64_t deadline_ms, std::vector<uint8_t>* buf, Delivery* d) {
    for (;;) {
        if (g_vbctlInterrupted != 0) return -1;
        const int64_t left = deadline_ms - vbctl_now_ms();
        if (left <= 0) return 0;
        pollfd pfd{c->fd, POLLIN, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left, 200)));
        if (rc < 0 && errno != EINTR) return -1;
        if (rc <= 0) continue;
        buf->resize(65536);
        const ssize_t n = recv(c->fd, buf->data(), buf->size(), 0);
        if (n <= 0) continue;
        UdpFrame frame{};
        if (udp_parse_frame(std::span(buf->data(), static_cast<size_t>(n)), &frame) != 0) continue;
        uint8_t ack[RTT_ACK_RECORD_LEN];
        rtt_build_ack(frame.stamp, ack);
        sendto(c->fd, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&c->ack_addr),
               sizeof c->ack_addr);
        if (std::find(c->recent.begin(), c->recent.end(), frame.stamp) != c->recent.end()) {
            ++c->duplicates;
            continue;
        }
        c->recent.push_back(frame.stamp);
        if (c->recent.size() > kRecentStamps) c->recent.pop_front();
        *d = Delivery{};
        d->tag = frame.payload[0];
        const auto rest = frame.payload.subspan(1);
        if (d->tag == FS_TAG_DATA || d->tag == FS_TAG_STREAM) {
            d->data = rest.data();
            d->size = rest.size();
        } else {
            mavlink_status_t parser{};
            mavlink_parser_reset(&parser);
            mavlink_parse_bytes(
                &parser, rest,
                [](const mavlink_message_t* msg, void* ctx) {
                    static_cast<Delivery*>(ctx)->messages.push_back(*msg);
                },
                d);
        }
        return 1;
    }
}

// The answer texts of a delivery.
std::vector<std::string> answers(const Delivery& d) {
    std::vector<std::string> out;
    for (const mavlink_message_t& m : d.messages) {
        char text[256];
        if (fs_answer_text(&m, text, sizeof text) == 0) out.emplace_back(text);
    }
    return out;
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Sends a request (again while nothing comes back) and waits for an answer
// text that `want` accepts; NOTEXIST ends the wait too. 1 accepted, 0
// NOTEXIST, -1 failed (reported).
template <typename Send, typename Want>
int request_answer(Client* c, const char* what, Send send, Want want, std::string* answer) {
    const int64_t deadline = vbctl_now_ms() + static_cast<int64_t>(c->opt.timeout_s * 1000);
    std::vector<uint8_t> buf;
    bool heard = false;
    while (vbctl_now_ms() < deadline) {
        if (!heard && send() != 0) return -1;
        const int64_t wait_until =
            heard ? deadline : std::min(deadline, vbctl_now_ms() + kRequestRetryMs);
        Delivery d;
        int rc = 0;
        while ((rc = receive(c, wait_until, &buf, &d)) == 1) {
            heard = true;
            for (const std::string& text : answers(d)) {
                if (text == "NOTEXIST") {
                    *answer = text;
                    return 0;
                }
                if (want(text)) {
                    *answer = text;
                    return 1;
                }
            }
        }
        if (rc < 0) return -1;
    }
    fprintf(stderr, "vbctl: no answer to %s within %g s\n", what, c->opt.timeout_s);
    return -1;
}

// "KEY:value" of an answer text.
std::string field(const std::string& text, const char* key) {
    const std::string k = std::string(key) + ":";
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find(';', pos);
        const std::string item = text.substr(pos, end == std::string::npos ? end : end - pos);
        if (starts_with(item, k.c_str())) return item.substr(k.size());
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return {};
}

// What the REASON item of a failure answer means.
const char* reason_text(const std::string& reason) {
    if (reason == FS_REASON_BUSY) return "it is being recorded";
    if (reason == FS_REASON_READ_ERROR) return "the card failed a read";
    if (reason == FS_REASON_DAMAGED) return "it holds no playable video";
    if (reason == FS_REASON_OFFSET) return "the offset is past its end";
    return "no reason given";
}

// TRANSCANCELED for `name` (with or without a REASON item).
bool canceled_for(const std::string& text, const char* name) {
    return starts_with(text, "TRANSCANCELED:") && field(text, "TRANSCANCELED") == name;
}

int not_on_card(const char* name) {
    fprintf(stderr, "vbctl: %s: not on the card (the board answered NOTEXIST)\n", name);
    return EXIT_FAILED;
}

// ---------------------------------------------------------------------------

int cmd_ls(Client* c, bool photos) {
    mavlink_param_request_list_t req{};
    mavlink_message_t msg;
    mavlink_msg_param_request_list_pack(VBCTL_SYSID, photos ? FS_PIC_LIST_COMPID : VBCTL_COMPID,
                                        c->seq++, &req, &msg);
    std::map<uint16_t, std::string> entries;
    uint32_t count = 0;
    std::vector<uint8_t> buf;
    const int64_t timeout = static_cast<int64_t>(c->opt.timeout_s * 1000);
    int64_t deadline = vbctl_now_ms() + std::min(timeout, kEmptyListMs);
    bool heard = false;
    while (!heard || entries.size() < count) {
        if (!heard && (send_stream(c, 0) != 0 || send_request(c, &msg) != 0)) return EXIT_FAILED;
        Delivery d;
        const int rc =
            receive(c, heard ? deadline : std::min(deadline, vbctl_now_ms() + 1000), &buf, &d);
        if (rc < 0) return EXIT_FAILED;
        if (rc == 0) {
            if (vbctl_now_ms() < deadline) continue;
            if (!heard) break;  // nothing at all: the list is empty
            fprintf(stderr, "vbctl: the list stopped after %zu of %u entries\n", entries.size(),
                    count);
            return EXIT_FAILED;
        }
        for (const mavlink_message_t& m : d.messages) {
            mavlink_pelora_param_value_t pv{};
            if (mavlink_msg_pelora_param_value_decode(&m, &pv) != 0) continue;
            heard = true;
            count = pv.count;
            entries[pv.index] = std::string(pv.name) + " " + pv.text;
        }
        if (heard) deadline = vbctl_now_ms() + timeout;
    }
    for (const auto& [index, line] : entries) printf("%s\n", line.c_str());
    return EXIT_OK;
}

int cmd_info(Client* c, const char* name) {
    std::string answer;
    const int rc = request_answer(
        c, "the information request",
        [&] { return send_resource(c, uri_type_of(name), name, FS_TRANS_INFO, 0); },
        [](const std::string& t) { return starts_with(t, "FSIZE:"); }, &answer);
    if (rc < 0) return EXIT_FAILED;
    if (rc == 0) return not_on_card(name);
    printf("%s\n", answer.c_str());
    return EXIT_OK;
}

int cmd_rm(Client* c, const char* name) {
    std::string answer;
    const std::string removed = std::string("FREMOVED:") + name;
    const int rc = request_answer(
        c, "the delete request",
        [&] { return send_resource(c, uri_type_of(name), name, FS_TRANS_DELETE, 0); },
        [&](const std::string& t) {
            return t == removed ||
                   (starts_with(t, "REMOVEFAILED:") && field(t, "REMOVEFAILED") == name);
        },
        &answer);
    if (rc < 0) return EXIT_FAILED;
    if (rc == 0) return not_on_card(name);
    if (answer != removed) {
        const std::string reason = field(answer, "REASON");
        fprintf(stderr, "vbctl: the board could not delete %s%s%s (%s)\n", name,
                reason.empty() ? "" : ": ", reason.empty() ? "" : reason_text(reason),
                answer.c_str());
        return EXIT_FAILED;
    }
    printf("%s\n", answer.c_str());
    return EXIT_OK;
}

void show_progress(uint64_t done, uint64_t total, int64_t start_ms) {
    const double secs =
        std::max<double>(0.001, static_cast<double>(vbctl_now_ms() - start_ms) / 1000);
    const double rate = static_cast<double>(done) / secs;
    const double left = rate > 0 && total > done ? static_cast<double>(total - done) / rate : 0;
    const double pct =
        total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 0;
    const int width = 30;
    const int filled = static_cast<int>(pct * width / 100);
    fprintf(stderr, "\r[%.*s%*s] %5.1f%% %llu/%llu bytes %.2f MB/s %.0f s left ", filled,
            "##############################", width - filled, "", pct,
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
            rate / 1e6, left);
}

// Downloads `name` (uri type `uri_type`) into `out` from `offset` on.
// `expected` is the file's size when known (0 otherwise).
// `started`: the board already announced the transfer (TRANSSTART seen).
int download(Client* c, uint8_t uri_type, const char* name, const std::string& out, uint64_t offset,
             uint64_t expected, bool started = false) {
    FILE* f = fopen(out.c_str(), offset > 0 ? "r+b" : "wb");
    if (f == nullptr && offset > 0) f = fopen(out.c_str(), "w+b");
    if (f == nullptr) {
        fprintf(stderr, "vbctl: cannot write %s: %s\n", out.c_str(), strerror(errno));
        return EXIT_FAILED;
    }
    if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) {
        fprintf(stderr, "vbctl: cannot seek %s to %llu\n", out.c_str(),
                static_cast<unsigned long long>(offset));
        fclose(f);
        return EXIT_FAILED;
    }
    const bool progress = isatty(STDERR_FILENO) != 0;
    const int64_t timeout = static_cast<int64_t>(c->opt.timeout_s * 1000);
    const int64_t start = vbctl_now_ms();
    const std::string complete = std::string("TRANSCOMPLETE:") + name;
    std::string reason;  // of a TRANSCANCELED
    std::vector<uint8_t> buf;
    uint64_t received = 0;
    bool write_failed = false;
    int result = -1;  // 0 complete, 1 canceled, 2 not there
    int64_t deadline = vbctl_now_ms() + timeout;
    int64_t last_progress = 0;
    while (result < 0) {
        if (!started && send_resource(c, uri_type, name, FS_TRANS_DOWNLOAD, offset) != 0) break;
        const int64_t wait_until =
            started ? deadline : std::min(deadline, vbctl_now_ms() + kRequestRetryMs);
        Delivery d;
        const int rc = receive(c, wait_until, &buf, &d);
        if (rc < 0) break;
        if (rc == 0) {
            if (vbctl_now_ms() < deadline) continue;
            fprintf(stderr, "\nvbctl: the download of %s stalled (nothing for %g s)\n", name,
                    c->opt.timeout_s);
            break;
        }
        deadline = vbctl_now_ms() + timeout;
        if (d.tag == FS_TAG_DATA && started) {
            if (fwrite(d.data, 1, d.size, f) != d.size) write_failed = true;
            received += d.size;
        }
        for (const std::string& text : answers(d)) {
            if (starts_with(text, "TRANSSTART:") && field(text, "TRANSSTART") == name) {
                started = true;
            } else if (text == complete && started) {
                result = 0;
            } else if (canceled_for(text, name)) {
                reason = field(text, "REASON");
                result = 1;
            } else if (text == "NOTEXIST" && !started) {
                result = 2;
            }
        }
        if (progress && (vbctl_now_ms() - last_progress > 100 || result >= 0)) {
            last_progress = vbctl_now_ms();
            show_progress(offset + received, expected, start);
        }
    }
    if (progress) fputc('\n', stderr);
    if (result == 0 && ftruncate(fileno(f), static_cast<off_t>(offset + received)) != 0) {
        write_failed = true;
    }
    if (fclose(f) != 0) write_failed = true;
    if (result == 2) return not_on_card(name);
    if (result == 1 && !reason.empty()) {
        fprintf(stderr, "vbctl: the board could not send %s after %llu bytes: %s (REASON:%s)\n",
                name, static_cast<unsigned long long>(received), reason_text(reason),
                reason.c_str());
        return EXIT_FAILED;
    }
    if (result == 1) {
        fprintf(stderr,
                "vbctl: the board canceled the download of %s after %llu bytes "
                "(TRANSCANCELED); resume with --offset %llu\n",
                name, static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(offset + received));
        return EXIT_FAILED;
    }
    if (result != 0) return EXIT_FAILED;
    if (write_failed) {
        fprintf(stderr, "vbctl: writing %s failed\n", out.c_str());
        return EXIT_FAILED;
    }
    if (expected > 0 && offset + received != expected) {
        fprintf(stderr, "vbctl: %s: got %llu bytes, the file has %llu\n", name,
                static_cast<unsigned long long>(offset + received),
                static_cast<unsigned long long>(expected));
        return EXIT_FAILED;
    }
    const double secs = std::max<double>(0.001, static_cast<double>(vbctl_now_ms() - start) / 1000);
    printf("%s: %llu bytes in %.1f s (%.2f MB/s) -> %s\n", name,
           static_cast<unsigned long long>(received), secs,
           static_cast<double>(received) / secs / 1e6, out.c_str());
    if (c->duplicates > 0) {
        printf("%llu repeated frame(s) acknowledged again and dropped\n",
               static_cast<unsigned long long>(c->duplicates));
    }
    return EXIT_OK;
}

std::string base_name(const char* name) {
    const char* slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

int cmd_get(Client* c, const char* name) {
    const uint8_t type = uri_type_of(name);
    std::string info;
    const int rc = request_answer(
        c, "the information request",
        [&] { return send_resource(c, type, name, FS_TRANS_INFO, 0); },
        [](const std::string& t) { return starts_with(t, "FSIZE:"); }, &info);
    if (rc < 0) return EXIT_FAILED;
    if (rc == 0) return not_on_card(name);
    const uint64_t size = strtoull(field(info, "FSIZE").c_str(), nullptr, 10);
    if (c->opt.offset > size) {
        fprintf(stderr, "vbctl: --offset %llu is past the end of %s (%llu bytes)\n",
                static_cast<unsigned long long>(c->opt.offset), name,
                static_cast<unsigned long long>(size));
        return EXIT_FAILED;
    }
    const std::string out = c->opt.output.empty() ? base_name(name) : c->opt.output;
    return download(c, type, name, out, c->opt.offset, size);
}

std::string thumb_name(const char* name) {
    std::string s = name;
    const size_t dot = s.rfind('.');
    if (dot == std::string::npos) return s + "_thumb.JPG";
    return s.substr(0, dot) + (uri_type_of(name) == FS_URI_PIC ? "_p.JPG" : "_v.JPG");
}

int cmd_thumb(Client* c, const char* name) {
    const std::string out =
        c->opt.output.empty() ? base_name(thumb_name(name).c_str()) : c->opt.output;
    // The board answers NOTEXIST for a thumbnail it does not have yet, makes
    // it, and says THUMBREADY (or THUMBERROR); then it can be downloaded.
    const int64_t timeout = static_cast<int64_t>(c->opt.timeout_s * 1000);
    const std::string ready = std::string("THUMBREADY:") + name;
    const std::string error = std::string("THUMBERROR:") + name;
    std::vector<uint8_t> buf;
    if (send_resource(c, FS_URI_THUMB, name, FS_TRANS_DOWNLOAD, 0) != 0) return EXIT_FAILED;
    int64_t deadline = vbctl_now_ms() + timeout;
    bool notexist = false;
    while (vbctl_now_ms() < deadline) {
        Delivery d;
        const int rc = receive(c, deadline, &buf, &d);
        if (rc < 0) return EXIT_FAILED;
        if (rc == 0) break;
        for (const std::string& text : answers(d)) {
            if (starts_with(text, "TRANSSTART:")) {
                return download(c, FS_URI_THUMB, name, out, 0, 0, true);  // it existed
            }
            if (text == "NOTEXIST") notexist = true;
            if (text == ready) return download(c, FS_URI_THUMB, name, out, 0, 0);
            if (text == error) {
                fprintf(stderr, "vbctl: the board could not make a thumbnail of %s (THUMBERROR)\n",
                        name);
                return EXIT_FAILED;
            }
        }
    }
    fprintf(stderr, "vbctl: no thumbnail of %s within %g s%s\n", name, c->opt.timeout_s,
            notexist ? " (the board answered NOTEXIST: is the file listed?)" : "");
    return EXIT_FAILED;
}

// The keys of an interactive play: standard input in raw mode while playing.
struct Keys {
    bool active = false;
    termios saved{};
    std::string pending;  // bytes of an escape sequence not yet complete

    void start() {
        if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return;
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        if (active) fprintf(stderr, "space pauses and resumes, left/right arrows seek 10 s\n");
    }
    ~Keys() {
        if (active) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    // The next command typed: ' ' pause/resume, '<' back, '>' forward, 0 none.
    char next() {
        if (!active) return 0;
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        char buf[16];
        if (poll(&pfd, 1, 0) > 0) {
            const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n > 0) pending.append(buf, static_cast<size_t>(n));
        }
        while (!pending.empty()) {
            if (pending[0] == ' ') {
                pending.erase(0, 1);
                return ' ';
            }
            if (pending[0] != '\x1b') {
                pending.erase(0, 1);
                continue;
            }
            if (pending.size() < 3) return 0;  // wait for the rest of ESC [ C
            const char key = pending[1] == '[' ? pending[2] : 0;
            pending.erase(0, 3);
            if (key == 'C') return '>';
            if (key == 'D') return '<';
        }
        return 0;
    }
};

constexpr int64_t kSeekStepMs = 10000;

// Plays `name` into the output file: prints each TIME answer, writes the tag-3
// stream, ends at TRANSCOMPLETE or, with --seconds, cancels after that long.
int cmd_play(Client* c, const char* name) {
    if (c->opt.output.empty()) {
        fprintf(stderr, "vbctl: play needs -o FILE.h264\n");
        return 2;
    }
    FILE* f = fopen(c->opt.output.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "vbctl: cannot write %s: %s\n", c->opt.output.c_str(), strerror(errno));
        return EXIT_FAILED;
    }
    const int64_t timeout = static_cast<int64_t>(c->opt.timeout_s * 1000);
    const int64_t start = vbctl_now_ms();
    const int64_t stop_at =
        c->opt.seconds >= 0 ? start + static_cast<int64_t>(c->opt.seconds * 1000) : INT64_MAX;
    const std::string complete = std::string("TRANSCOMPLETE:") + name;
    Keys keys;
    keys.start();
    std::vector<uint8_t> buf;
    uint64_t received = 0;
    bool started = false;
    bool paused = false;
    bool write_failed = false;
    // The playing position as the phone shows it: the last TIME position
    // plus the time played since.
    int64_t base_pos = c->opt.seek_ms;
    int64_t base_time = start;
    int64_t paused_at = 0;
    auto position = [&] { return base_pos + ((paused ? paused_at : vbctl_now_ms()) - base_time); };
    auto control = [&](uint8_t transfer, int64_t pos) {
        return send_resource(c, FS_URI_VIDEO, name, transfer, static_cast<uint64_t>(pos));
    };
    int result = -1;  // 0 complete, 1 stopped after --seconds, 2 not there, 3 refused
    int64_t deadline = start + timeout;
    int64_t last_send = 0;
    while (result < 0) {
        if (!started && vbctl_now_ms() - last_send >= kRequestRetryMs) {
            if (control(FS_TRANS_PLAY, c->opt.seek_ms) != 0) break;
            last_send = vbctl_now_ms();
        }
        if (vbctl_now_ms() >= stop_at) {
            control(FS_TRANS_CANCEL, 0);
            result = 1;
            break;
        }
        const char key = keys.next();
        switch (key) {
            case ' ':
                paused = !paused;
                if (paused) {
                    paused_at = vbctl_now_ms();
                } else {
                    base_time += vbctl_now_ms() - paused_at;
                }
                control(paused ? FS_TRANS_PAUSE : FS_TRANS_RESUME, 0);
                fprintf(stderr, "%s\n", paused ? "paused" : "playing");
                break;
            case '>':
            case '<': {
                const int64_t target =
                    std::max<int64_t>(0, position() + (key == '>' ? kSeekStepMs : -kSeekStepMs));
                control(FS_TRANS_SEEK, target);
                fprintf(stderr, "seek to %lld ms\n", static_cast<long long>(target));
                break;
            }
            default:
                break;
        }
        Delivery d;
        const int rc = receive(c, std::min(stop_at, vbctl_now_ms() + 100), &buf, &d);
        if (rc < 0) {
            control(FS_TRANS_CANCEL, 0);  // Ctrl-C: the board stops too
            break;
        }
        if (rc == 0) {
            if (paused) deadline = vbctl_now_ms() + timeout;
            if (vbctl_now_ms() < deadline) continue;
            fprintf(stderr, "vbctl: the playback of %s stalled (nothing for %g s)\n", name,
                    c->opt.timeout_s);
            break;
        }
        deadline = vbctl_now_ms() + timeout;
        if (d.tag == FS_TAG_STREAM && started) {
            if (fwrite(d.data, 1, d.size, f) != d.size) write_failed = true;
            received += d.size;
        }
        for (const std::string& text : answers(d)) {
            if (starts_with(text, "TIME:")) {
                started = true;
                base_pos = strtoll(field(text, "TIME").c_str(), nullptr, 10);
                base_time = paused ? paused_at : vbctl_now_ms();
                printf("%s\n", text.c_str());
                fflush(stdout);
            } else if (text == complete && started) {
                printf("%s\n", text.c_str());
                result = 0;
            } else if (canceled_for(text, name)) {
                fprintf(stderr, "vbctl: the board could not play %s: %s (%s)\n", name,
                        reason_text(field(text, "REASON")), text.c_str());
                result = 3;
            } else if (text == "NOTEXIST" && !started) {
                result = 2;
            }
        }
    }
    if (fclose(f) != 0) write_failed = true;
    if (result == 2) return not_on_card(name);
    if (result == 3) return EXIT_FAILED;
    if (result < 0) return EXIT_FAILED;
    if (write_failed) {
        fprintf(stderr, "vbctl: writing %s failed\n", c->opt.output.c_str());
        return EXIT_FAILED;
    }
    const double secs = std::max<double>(0.001, static_cast<double>(vbctl_now_ms() - start) / 1000);
    printf("%s: %llu bytes in %.1f s%s -> %s\n", name, static_cast<unsigned long long>(received),
           secs, result == 1 ? " (stopped)" : "", c->opt.output.c_str());
    return EXIT_OK;
}

}  // namespace

std::string vbctl_file_usage_error(const std::vector<const char*>& a) {
    const std::string cmd = a[0];
    if (cmd == "ls") {
        if (a.size() != 2 || (strcmp(a[1], "photos") != 0 && strcmp(a[1], "videos") != 0)) {
            return "ls takes photos or videos";
        }
    } else if (cmd == "stream") {
        if (a.size() != 2 || (strcmp(a[1], "on") != 0 && strcmp(a[1], "off") != 0)) {
            return "stream takes on or off";
        }
    } else if (a.size() != 2 || a[1][0] == '\0') {
        return cmd + " takes one file name";
    } else if (strlen(a[1]) >= MAVLINK_RESOURCE_URI_LEN) {
        return "file names are at most 119 characters";
    }
    return {};
}

int vbctl_file_command(const VbctlFileOptions& opt, const std::vector<const char*>& a) {
    Client c;
    c.opt = opt;
    if (open_client(&c) != 0) {
        if (c.fd >= 0) close(c.fd);
        return EXIT_FAILED;
    }
    const std::string cmd = a[0];
    int rc = EXIT_FAILED;
    if (cmd == "ls") {
        rc = cmd_ls(&c, strcmp(a[1], "photos") == 0);
    } else if (cmd == "info") {
        rc = cmd_info(&c, a[1]);
    } else if (cmd == "get") {
        rc = cmd_get(&c, a[1]);
    } else if (cmd == "rm") {
        rc = cmd_rm(&c, a[1]);
    } else if (cmd == "thumb") {
        rc = cmd_thumb(&c, a[1]);
    } else if (cmd == "play") {
        rc = cmd_play(&c, a[1]);
    } else if (cmd == "stream") {
        const bool on = strcmp(a[1], "on") == 0;
        rc = send_stream(&c, on ? 1 : 0) == 0 ? EXIT_OK : EXIT_FAILED;
        if (rc == EXIT_OK) printf("live stream %s\n", on ? "on" : "off");
    }
    close(c.fd);
    return rc;
}
