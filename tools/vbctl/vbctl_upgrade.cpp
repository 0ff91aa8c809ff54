#include "vbctl/vbctl_upgrade.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

extern "C" {
#include <libavutil/md5.h>
}

#include "fw/fw_wire.h"
#include "mav/mavlink_msgs.h"
#include "vbctl/vbctl_proto.h"

namespace {

constexpr int64_t kMd5RetryMs = 500;
constexpr int64_t kStatusEveryMs = 1000;
// The video board's own upgrade is silent from the hand-over to the update
// engine until it runs again after its reboot.
constexpr int64_t kRebootSilenceMs = 120000;
constexpr int kFramesPerPause = 8;

struct BoardName {
    uint8_t sys;
    const char* word;
};
constexpr BoardName kBoards[] = {
    {FW_SYS_VIDEO, "video"},       {FW_SYS_FLYC, "fc"},   {FW_SYS_GIMBAL, "gimbal"},
    {FW_SYS_REPEATER, "repeater"}, {FW_SYS_NONE, "none"},
};

const char* board_word(uint32_t sys) {
    for (const BoardName& b : kBoards) {
        if (b.sys == sys) return b.word;
    }
    return "unknown";
}

int64_t ms(double seconds) {
    return static_cast<int64_t>(seconds * 1000);
}

int send_or_fail(VbctlLink* link, const mavlink_message_t* msg) {
    if (vbctl_link_send(link, msg) == 0) return 0;
    fprintf(stderr, "vbctl: the link to the board broke while sending\n");
    return 1;
}

int send_command(VbctlLink* link, uint8_t sub) {
    mavlink_command_long_t cmd{};
    cmd.command = MAV_CMD_FIRMWARE_UPDATE;
    cmd.target_system = sub;
    mavlink_message_t msg;
    mavlink_msg_command_long_pack(VBCTL_SYSID, VBCTL_COMPID, vbctl_link_next_seq(link), &cmd, &msg);
    return send_or_fail(link, &msg);
}

int send_transfer(VbctlLink* link, uint8_t opcode, uint8_t fileId, const uint8_t* payload,
                  size_t len) {
    mavlink_file_transfer_protocol_t ftp{};
    ftp.target_network = opcode;
    ftp.target_system = static_cast<uint8_t>(std::min<size_t>(len, MAVLINK_FTP_PAYLOAD_LEN));
    ftp.target_component = fileId;
    memcpy(ftp.payload, payload, ftp.target_system);
    mavlink_message_t msg;
    mavlink_msg_file_transfer_protocol_pack(VBCTL_SYSID, VBCTL_COMPID, vbctl_link_next_seq(link),
                                            &ftp, &msg);
    return send_or_fail(link, &msg);
}

// What a wait collects: the board's answer to one sub-command and, for a
// file check, the packages it lists as missing.
struct Wait {
    uint8_t sub = 0;
    int component = -1;  // -1: any
    bool got = false;
    mavlink_command_long_t answer{};
    uint8_t fileId = 0;
    std::set<uint32_t> missing;
};

int on_wait(const mavlink_message_t* msg, void* context) {
    Wait* w = static_cast<Wait*>(context);
    if (msg->msgid == MAVLINK_MSG_ID_COMMAND_LONG) {
        mavlink_command_long_t c{};
        if (mavlink_msg_command_long_decode(msg, &c) == 0 && c.command == MAV_CMD_FIRMWARE_UPDATE &&
            c.target_system == w->sub && (w->component < 0 || c.target_component == w->component)) {
            w->got = true;
            w->answer = c;
            return 1;
        }
    } else if (msg->msgid == MAVLINK_MSG_ID_FILE_TRANSFER_PROTOCOL) {
        mavlink_file_transfer_protocol_t ftp{};
        if (mavlink_msg_file_transfer_protocol_decode(msg, &ftp) == 0 &&
            ftp.target_network == FIRMWARE_UPDATE_FILE_MD5 && ftp.target_component == w->fileId) {
            const size_t n = std::min<size_t>(ftp.target_system, MAVLINK_FTP_PAYLOAD_LEN) / 4;
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* p = ftp.payload + 4 * i;
                w->missing.insert(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                  (static_cast<uint32_t>(p[2]) << 16) |
                                  (static_cast<uint32_t>(p[3]) << 24));
            }
        }
    }
    return 0;
}

// Waits for the answer to `sub`; 0 when it came with confirmation 0.
int expect_ok(VbctlLink* link, const VbctlUpgradeOptions& opt, uint8_t sub, int component,
              const char* what) {
    Wait w;
    w.sub = sub;
    w.component = component;
    const int end = vbctl_link_pump(link, vbctl_now_ms() + ms(opt.timeout_s), on_wait, &w);
    if (!w.got) {
        fprintf(stderr, "vbctl: no answer to %s (%s)\n", what,
                end == VBCTL_PUMP_CLOSED ? "the board closed the link" : "time-out");
        return 1;
    }
    if (w.answer.confirmation != 0) {
        fprintf(stderr, "vbctl: the board refused %s (result %u)\n", what, w.answer.confirmation);
        return 1;
    }
    return 0;
}

std::string md5_text(const std::vector<uint8_t>& bytes) {
    uint8_t d[16];
    av_md5_sum(d, bytes.data(), bytes.size());
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

void progress(const std::string& name, uint64_t done, uint64_t total) {
    const int percent = total == 0 ? 100 : static_cast<int>(100 * done / total);
    const int bar = percent * 30 / 100;
    fprintf(stderr, "\r%-24.24s [%.*s%*s] %3d%%", name.c_str(), bar,
            "##############################", 30 - bar, "", percent);
    if (done == total) fputc('\n', stderr);
}

struct Uploader {
    VbctlLink* link;
    const VbctlUpgradeOptions& opt;
    int udp = -1;
    sockaddr_in to{};
};

int send_package(Uploader* u, const std::vector<uint8_t>& file, uint8_t fileId, uint32_t index) {
    const size_t at = size_t{index} * FW_UPLOAD_PKG_SIZE;
    const size_t n = std::min<size_t>(FW_UPLOAD_PKG_SIZE, file.size() - at);
    std::vector<uint8_t> datagram;
    fw_upload_data_frame_append(fileId, index, file.data() + at, n, &datagram);
    if (sendto(u->udp, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&u->to),
               sizeof u->to) < 0) {
        fprintf(stderr, "vbctl: sending to the file port failed: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

// The announcement as the phone builds it; a name longer than the message
// can hold goes out cut, with its full length (up to 255) in the length byte.
std::vector<uint8_t> announcement(uint8_t sys, uint32_t packages, const std::string& name) {
    std::vector<uint8_t> p(FW_ANNOUNCE_HEADER_LEN);
    p[0] = sys;
    for (int b = 0; b < 4; ++b) p[5 + b] = static_cast<uint8_t>(packages >> (8 * b));
    p[9] = static_cast<uint8_t>(std::min<size_t>(name.size(), 255));
    const size_t room = MAVLINK_FTP_PAYLOAD_LEN - FW_ANNOUNCE_HEADER_LEN;
    p.insert(p.end(), name.begin(), name.begin() + static_cast<long>(std::min(room, name.size())));
    return p;
}

int upload_file(Uploader* u, const std::string& path, const std::string& name, uint8_t fileId) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "vbctl: cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    // The board checks the size against its limit for the board and answers.
    if (file.empty() || file.size() > uint64_t{FW_UPLOAD_PKG_SIZE} * UINT32_MAX) {
        fprintf(stderr, "vbctl: %s is empty or too large\n", path.c_str());
        return 1;
    }
    const auto packages = static_cast<uint32_t>(fw_div_ceil(file.size(), FW_UPLOAD_PKG_SIZE));
    const std::vector<uint8_t> a = announcement(u->opt.sys, packages, name);
    if (send_transfer(u->link, FIRMWARE_UPDATE_FILE_BEGIN, fileId, a.data(), a.size()) != 0 ||
        expect_ok(u->link, u->opt, FIRMWARE_UPDATE_FILE_BEGIN, fileId, "the file announcement") !=
            0) {
        return 1;
    }
    for (uint32_t i = 0; i < packages; ++i) {
        if (static_cast<int64_t>(i) != u->opt.withhold && send_package(u, file, fileId, i) != 0)
            return 1;
        // The board drops a link without heartbeats after 4 s.
        if (vbctl_link_keepalive(u->link) != 0) {
            fprintf(stderr, "vbctl: the link ended during the upload of %s\n", name.c_str());
            return 1;
        }
        if ((i + 1) % kFramesPerPause == 0) usleep(1000);
        if (i % 64 == 0 || i + 1 == packages) progress(name, i + 1, packages);
    }
    // The check is repeated until the board answers; what it lists as
    // missing is sent again.
    const std::string md5 = md5_text(file);
    int64_t giveUp = vbctl_now_ms() + ms(u->opt.timeout_s);
    while (vbctl_now_ms() < giveUp) {
        if (send_transfer(u->link, FIRMWARE_UPDATE_FILE_MD5, fileId,
                          reinterpret_cast<const uint8_t*>(md5.data()), md5.size()) != 0) {
            return 1;
        }
        Wait w;
        w.sub = FIRMWARE_UPDATE_FILE_MD5;
        w.component = fileId;
        w.fileId = fileId;
        const int end = vbctl_link_pump(u->link, vbctl_now_ms() + kMd5RetryMs, on_wait, &w);
        if (w.got) {
            if (w.answer.confirmation != 0) {
                fprintf(stderr, "vbctl: the board refused %s (MD5 check result %u)\n", name.c_str(),
                        w.answer.confirmation);
                return 1;
            }
            printf("%s: %" PRIu32 " packages, md5 %s, in place\n", name.c_str(), packages,
                   md5.c_str());
            fflush(stdout);
            return 0;
        }
        if (end == VBCTL_PUMP_CLOSED || end == VBCTL_PUMP_INTERRUPTED) {
            fprintf(stderr, "vbctl: the link ended during the check of %s\n", name.c_str());
            return 1;
        }
        if (!w.missing.empty()) {
            printf("%s: board misses %zu package(s):", name.c_str(), w.missing.size());
            for (uint32_t i : w.missing) printf(" %" PRIu32, i);
            printf("\n");
            fflush(stdout);
            for (uint32_t i : w.missing) {
                if (i < packages && send_package(u, file, fileId, i) != 0) return 1;
                if (vbctl_link_keepalive(u->link) != 0) return 1;
            }
            giveUp = vbctl_now_ms() + ms(u->opt.timeout_s);
        }
    }
    fprintf(stderr, "vbctl: no answer to the check of %s\n", name.c_str());
    return 1;
}

int reconnect(VbctlLink* link, const VbctlUpgradeOptions& opt, int64_t giveUp) {
    vbctl_link_close(link);
    while (vbctl_now_ms() < giveUp && g_vbctlInterrupted == 0) {
        char error[256] = "";
        if (vbctl_link_connect(link, opt.host.c_str(), opt.port, 1000, error, sizeof error) == 0) {
            Wait any;  // the board's first heartbeat shows it accepted the link
            if (vbctl_link_pump(
                    link, vbctl_now_ms() + 2000, [](const mavlink_message_t*, void*) { return 1; },
                    &any) > 0) {
                return 0;
            }
            vbctl_link_close(link);
        }
        usleep(500 * 1000);
    }
    return 1;
}

struct Follow {
    bool got = false;
    mavlink_command_long_t report{};
};

int on_status(const mavlink_message_t* msg, void* context) {
    Follow* f = static_cast<Follow*>(context);
    mavlink_command_long_t c{};
    if (msg->msgid != MAVLINK_MSG_ID_COMMAND_LONG ||
        mavlink_msg_command_long_decode(msg, &c) != 0 || c.command != MAV_CMD_FIRMWARE_UPDATE ||
        c.target_system != FW_STATUS_REPORT) {
        return 0;
    }
    f->got = true;
    f->report = c;
    return 1;
}

// Prints one report: "board B step S percent P pending 0xM result R" (and
// where the last installed firmware came from), or the video board's
// confirmation after its reboot. 1 when every board is done,
// -1 when one failed, 0 otherwise.
// param4 names where the installed firmware came from.
const char* source_words(float source) {
    return source == 1.0F ? " from the phone's upload" : source == 2.0F ? " from the card" : "";
}

int print_report(const mavlink_command_long_t& r) {
    if (r.confirmation == 5 && r.target_component == FW_SYS_VIDEO) {
        printf("board video upgraded (confirmed after its restart), pending 0x%x%s\n",
               static_cast<unsigned>(r.param3), source_words(r.param4));
        fflush(stdout);
        return 0;
    }
    const int result = static_cast<int>(r.param1);
    printf("board %s step %u percent %d pending 0x%x result %d%s\n", board_word(r.target_component),
           r.confirmation, static_cast<int>(r.param2), static_cast<unsigned>(r.param3), result,
           source_words(r.param4));
    fflush(stdout);
    if (result != 0) return -1;
    return static_cast<uint32_t>(r.param3) == 0 && r.target_component == FW_SYS_NONE ? 1 : 0;
}

int follow_upgrade(VbctlLink* link, const VbctlUpgradeOptions& opt) {
    int64_t giveUp = vbctl_now_ms() + std::max(ms(opt.timeout_s), kRebootSilenceMs);
    mavlink_command_long_t last{};
    bool printed = false;
    while (vbctl_now_ms() < giveUp && g_vbctlInterrupted == 0) {
        if (send_command(link, FIRMWARE_UPDATE_FILE_UPGRADE_STATUS) != 0 || link->fd < 0) {
            if (reconnect(link, opt, giveUp) != 0) break;
            continue;
        }
        // Reports pushed by the board and the answer to the query alike.
        const int64_t slice = vbctl_now_ms() + kStatusEveryMs;
        while (vbctl_now_ms() < slice) {
            Follow f;
            const int end = vbctl_link_pump(link, slice, on_status, &f);
            if (f.got) {
                giveUp = vbctl_now_ms() + std::max(ms(opt.timeout_s), kRebootSilenceMs);
                const bool same = printed && f.report == last;
                last = f.report;
                printed = true;
                const int state = same ? 0 : print_report(f.report);
                if (state < 0) {
                    fprintf(stderr, "vbctl: the upgrade of board %s failed (result %d)\n",
                            board_word(f.report.target_component),
                            static_cast<int>(f.report.param1));
                    return 1;
                }
                if (state > 0 || (same && static_cast<uint32_t>(f.report.param3) == 0 &&
                                  f.report.target_component == FW_SYS_NONE)) {
                    printf("upgrade complete\n");
                    return 0;
                }
                continue;
            }
            if (end == VBCTL_PUMP_CLOSED) {
                fprintf(stderr, "vbctl: the board closed the link (restarting?), reconnecting\n");
                if (reconnect(link, opt, giveUp) != 0) {
                    fprintf(stderr, "vbctl: the board did not come back\n");
                    return 1;
                }
            }
            if (end == VBCTL_PUMP_INTERRUPTED) return 1;
            break;
        }
    }
    fprintf(stderr, "vbctl: no status from the board within %" PRId64 " s\n",
            std::max(ms(opt.timeout_s), kRebootSilenceMs) / 1000);
    return 1;
}

int send_version(VbctlLink* link, const VbctlUpgradeOptions& opt) {
    if (send_transfer(link, FIRMWARE_UPDATE_VERSION, 0,
                      reinterpret_cast<const uint8_t*>(opt.version.data()),
                      opt.version.size()) != 0 ||
        expect_ok(link, opt, FIRMWARE_UPDATE_VERSION, -1, "the version text") != 0) {
        return 1;
    }
    printf("version set\n");
    return 0;
}

}  // namespace

uint8_t vbctl_upgrade_board(const char* word) {
    for (const BoardName& b : kBoards) {
        if (b.sys != FW_SYS_NONE && strcmp(word, b.word) == 0) return b.sys;
    }
    return 0;
}

int vbctl_upgrade(VbctlLink* link, const VbctlUpgradeOptions& opt) {
    if (!opt.files.empty()) {
        Uploader u{link, opt};
        u.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        u.to.sin_family = AF_INET;
        u.to.sin_port = htons(opt.file_port);
        if (u.udp < 0 || inet_pton(AF_INET, opt.host.c_str(), &u.to.sin_addr) != 1) {
            fprintf(stderr, "vbctl: cannot send to %s:%u\n", opt.host.c_str(), opt.file_port);
            if (u.udp >= 0) close(u.udp);
            return 1;
        }
        int rc = send_command(link, FIRMWARE_UPDATE_FILE_PREPARE) != 0 ||
                 expect_ok(link, opt, FIRMWARE_UPDATE_FILE_PREPARE, -1, "upload mode");
        // Each file with its detached signature FILE.sig, when there is one.
        std::vector<std::pair<std::string, std::string>> uploads;  // path, name
        for (const std::string& path : opt.files) {
            const std::string name =
                opt.name_given ? opt.name : path.substr(path.find_last_of('/') + 1);
            uploads.emplace_back(path, name);
            const std::string sig = path + FW_SIG_SUFFIX;
            if (access(sig.c_str(), R_OK) == 0 &&
                std::find(opt.files.begin(), opt.files.end(), sig) == opt.files.end()) {
                uploads.emplace_back(sig, name + FW_SIG_SUFFIX);
            }
        }
        for (size_t i = 0; rc == 0 && i < uploads.size(); ++i) {
            rc = upload_file(&u, uploads[i].first, uploads[i].second, static_cast<uint8_t>(i + 1));
        }
        close(u.udp);
        // The file port goes back to the file service whatever happened.
        const int end = send_command(link, FIRMWARE_UPDATE_FILE_END) != 0 ||
                        expect_ok(link, opt, FIRMWARE_UPDATE_FILE_END, -1, "the end of the upload");
        if (rc != 0 || end != 0) return 1;
    }
    if (opt.version_given && send_version(link, opt) != 0) return 1;
    if (!opt.restart) return 0;
    if (send_command(link, FIRMWARE_UPDATE_FILE_RESTART) != 0 ||
        expect_ok(link, opt, FIRMWARE_UPDATE_FILE_RESTART, -1, "the upgrade start") != 0) {
        return 1;
    }
    if (follow_upgrade(link, opt) != 0) return 1;
    // Each upgraded board resets the total version to the factory text; the
    // phone then sets the real one again, as an app does.
    return opt.version_given ? send_version(link, opt) : 0;
}

int vbctl_upgrade_status(VbctlLink* link, const VbctlUpgradeOptions& opt) {
    if (send_command(link, FIRMWARE_UPDATE_FILE_UPGRADE_STATUS) != 0) return 1;
    Follow f;
    vbctl_link_pump(link, vbctl_now_ms() + ms(opt.timeout_s), on_status, &f);
    if (!f.got) {
        fprintf(stderr, "vbctl: no status report (is a board being upgraded?)\n");
        return 1;
    }
    print_report(f.report);
    return 0;
}

int vbctl_upgrade_clean(VbctlLink* link, const VbctlUpgradeOptions& opt) {
    if (send_command(link, FIRMWARE_UPDATE_FILE_CLEAN) != 0 ||
        expect_ok(link, opt, FIRMWARE_UPDATE_FILE_CLEAN, -1, "the clean-up") != 0) {
        return 1;
    }
    printf("firmware files removed\n");
    return 0;
}
