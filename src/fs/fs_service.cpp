#include "fs/fs_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "board/board.h"
#include "core/realtime.h"
#include "core/trace_log.h"
#include "fs/file_list.h"
#include "fs/fs_catalog.h"
#include "fs/fs_context.h"
#include "fs/fs_mission.h"
#include "fs/fs_playback.h"
#include "fs/fs_wire.h"
#include "fs/thumbnail.h"
#include "fs/udp_rtt.h"
#include "state/fs_stream.h"

FsContext fs_context;

namespace {

std::atomic<int> g_fwFileTrans{0};
std::atomic<FsUploadHandler> g_uploadHandler{nullptr};

constexpr size_t kRecvBufferSize = 65536;
constexpr int kSendBufferBytes = 10485760;
constexpr int kRequestWaitMs = 250;  // slice of the request thread's wait
constexpr int kThumbWidth = 160;
constexpr int kThumbHeight = 90;
constexpr size_t kDurSize = 20;

void sleep_us(int64_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool stop_test(bool interruptible) {
    return fs_mission_should_stop(&fs_context, interruptible);
}

// ---------------------------------------------------------------------------
// Sending.

// Delivers one frame whose first transmission `send` makes: afterwards only
// the frame the transport kept goes again, so that a phone whose
// acknowledgements were lost never takes it twice. -22 (the frame cannot go
// out at all: no requester, no socket) ends at once.
FsDelivery deliver(const std::function<int()>& send, const std::function<bool()>& stop) {
    int rc = send();
    if (rc >= 1) return FS_DELIVERED;
    if (rc == -22) return FS_DROPPED;
    plr_trace_logf(PLR_LOG_E, "%s(line:%d) sending file data failed %s", __func__, __LINE__,
                   strerror(errno));
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (stop()) return FS_STOPPED;
        if (std::chrono::steady_clock::now() - start >=
            std::chrono::milliseconds(FS_ANSWER_DROP_MS)) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) frame dropped: unacknowledged for %d ms",
                           __func__, __LINE__, FS_ANSWER_DROP_MS);
            return FS_DROPPED;
        }
        sleep_us(1000);
        rc = FsRetransLastBuffer();
        // Nothing kept: the failure came before the frame ever went out.
        if (rc == -22) rc = send();
        if (rc >= 1) return FS_DELIVERED;
        if (rc == -22) return FS_DROPPED;
    }
}

bool shutting_down() {
    return fs_context.stop.load();
}

int FsSendMsg(const mavlink_message_t* msg, uint8_t tag) {
    uint8_t buf[4096];
    buf[0] = tag;
    const int len = mavlink_msg_to_send_buffer(std::span(buf + 1, sizeof buf - 1), msg);
    if (len < 0) return -1;
    const FsDelivery d =
        deliver([&] { return FsSendBuffer(buf, static_cast<size_t>(len) + 1); }, shutting_down);
    return d == FS_DELIVERED ? len : -1;
}

__attribute__((format(printf, 2, 3))) int FsNotify(uint8_t tag, const char* format, ...) {
    char text[FS_ANSWER_TEXT_MAX + 1];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return FsFileTransProtoMsgSend(text, tag);
}

int FsNotifyFileNotExist() {
    return FsNotify(FS_TAG_NOTIFY, "NOTEXIST");
}
int FsNotifyFileRemoved(const char* name) {
    return FsNotify(FS_TAG_NOTIFY, "FREMOVED:%s", name);
}
int FsNotifyFileTransCancel(const char* name) {
    return FsNotify(FS_TAG_NOTIFY, "TRANSCANCELED:%s", name);
}
// A download or playback that cannot start or go on, and why (FS_REASON_*).
int FsNotifyFileTransFailed(const char* name, const char* reason) {
    return FsNotify(FS_TAG_NOTIFY, "TRANSCANCELED:%s;REASON:%s", name, reason);
}
int FsNotifyFileTransComplete(const char* name) {
    return FsNotify(FS_TAG_NOTIFY, "TRANSCOMPLETE:%s", name);
}
int FsNotifyThumbnailResult(const char* name, bool ok) {
    return FsNotify(FS_TAG_NOTIFY, "%s:%s", ok ? "THUMBREADY" : "THUMBERROR", name);
}

// TRANSSTART: with duration and picture size when the name is a video of the
// catalogue whose header is readable.
int FsNotifyFileTransStart(const char* name, uint16_t uri_type) {
    char path[FILE_LIST_PATH_SIZE];
    char dur[kDurSize] = "";
    int width = 0;
    int height = 0;
    if (fs_search(name, FS_URI_VIDEO, path, sizeof path) == 0 &&
        thumbnail_get_meta(path, dur, sizeof dur, &width, &height) == 0) {
        return FsNotify(FS_TAG_NOTIFY, "TRANSSTART:%s;FTYPE:%d;DUR:%s;WIDTH:%d;HEIGHT:%d", name,
                        uri_type, dur, width, height);
    }
    return FsNotify(FS_TAG_NOTIFY, "TRANSSTART:%s;FTYPE:%d", name, uri_type);
}

// Moves a file into place: rename, or copy and remove where the two paths
// are on different file systems.
int move_file(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) == 0) return 0;
    if (errno != EXDEV) return -1;
    FILE* in = fopen(from.c_str(), "rb");
    if (in == nullptr) return -1;
    FILE* out = fopen(to.c_str(), "wb");
    if (out == nullptr) {
        fclose(in);
        return -1;
    }
    char buf[16384];
    size_t n = 0;
    bool ok = true;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        if (fwrite(buf, 1, n, out) != n) ok = false;
    }
    if (ferror(in) != 0) ok = false;
    fclose(in);
    if (fclose(out) != 0) ok = false;
    if (!ok) {
        remove(to.c_str());
        return -1;
    }
    remove(from.c_str());
    return 0;
}

// ---------------------------------------------------------------------------
// Missions.

void MavlinkFileListRequestHandler(const FsMissionData* data, FsContext* ctx) {
    const uint16_t type = data->msg.compid == FS_PIC_LIST_COMPID ? FS_URI_PIC : FS_URI_VIDEO;
    fs_scan_flist();
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) mdata->compid %d,mission->interruptible:%d", __func__,
                   __LINE__, data->msg.compid, 0);
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(ctx->mission_lock);
        for (const file_list_node* n = *fs_get_list(type); n != nullptr; n = n->next) {
            names.emplace_back(n->name);
        }
    }
    if (names.empty()) {
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) li %s for type:%d", __func__, __LINE__, "NULL",
                       type);
        return;
    }
    const bool done = fs_list_pack(
        names.size(), [&](size_t i) { return names[i].c_str(); }, type, &ctx->seq,
        [] { return stop_test(false); },
        [](std::span<const uint8_t> batch) {
            return FsDeliver(batch.data(), batch.size(), false) == FS_DELIVERED;
        });
    if (!done)
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) scheduled mission,exit!!", __func__, __LINE__);
}

// One block of a download, read straight into its transport frame: tag 2
// and up to 59287 bytes of the file.
struct Block {
    std::vector<uint8_t> frame = std::vector<uint8_t>(UDP_FRAME_OVERHEAD + FS_BUFFER_SIZE);
    long n = 0;  // bytes of the file; 0 at its end, -1 after a read error
};

void read_block(int fd, uint64_t offset, Block* b) {
    uint8_t* payload = b->frame.data() + UDP_FRAME_HEADER_LEN;
    ssize_t n = 0;
    do {
        n = board_card_pread(fd, payload + 1, FS_DATA_BLOCK, static_cast<int64_t>(offset));
    } while (n < 0 && errno == EINTR);
    b->n = n < 0 ? -1 : static_cast<long>(n);
    if (n <= 0) return;
    payload[0] = FS_TAG_DATA;
    udp_prepare_frame(b->frame.data(), static_cast<size_t>(n) + 1);
}

int FsSendPrepared(uint8_t* frame, size_t len, const std::function<void()>& meanwhile) {
    sockaddr_in peer{};
    if (!fs_mission_requester(&fs_context, &peer)) return -22;
    fs_context.send_sem.acquire();
    const int rc = udp_send_prepared(frame, len, fs_context.fs_sock, &peer, meanwhile);
    fs_context.send_sem.release();
    return rc;
}

// The download: the file is read through the board's card I/O (so that a
// pulled card fails the reads as it does on the board), each block into a
// frame of its own, and the next block is read and framed while the phone's
// acknowledgement of the current one is on its way.
void FsFileTransfer(const FsMissionData* data, FsContext* /*ctx*/) {
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file transfer mission", __func__, __LINE__);
    const int fd = board_card_open(data->path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) open file error!!,file:%s", __func__, __LINE__,
                       data->path);
        FsNotifyFileNotExist();
        return;
    }
    enum class End { Complete, Canceled, ReadError, PhoneGone } end = End::PhoneGone;
    Block blocks[2];
    Block* cur = &blocks[0];
    Block* next = &blocks[1];
    uint64_t offset = data->offset;
    uint64_t total = 0;
    if (FsNotifyFileTransStart(data->name, data->uri_type) > 0) {
        read_block(fd, offset, cur);
        for (;;) {
            if (stop_test(true)) {
                end = End::Canceled;
                break;
            }
            if (cur->n <= 0) {
                end = cur->n == 0 ? End::Complete : End::ReadError;
                break;
            }
            const uint64_t after = offset + static_cast<uint64_t>(cur->n);
            bool prepared = false;
            const std::function<void()> prepare = [&] {
                if (prepared) return;
                read_block(fd, after, next);
                prepared = true;
            };
            const FsDelivery d = deliver(
                [&] {
                    return FsSendPrepared(cur->frame.data(), static_cast<size_t>(cur->n) + 1,
                                          prepare);
                },
                [] { return stop_test(true); });
            if (d != FS_DELIVERED) {
                end = d == FS_STOPPED ? End::Canceled : End::PhoneGone;
                break;
            }
            total += static_cast<uint64_t>(cur->n);
            offset = after;
            prepare();
            std::swap(cur, next);
        }
    }
    board_card_close(fd);
    switch (end) {
        case End::Complete:
            if (FsNotifyFileTransComplete(data->name) > 0) {
                plr_trace_logf(PLR_LOG_D, "%s(line:%d) file trans complete,send size:%llu",
                               __func__, __LINE__, static_cast<unsigned long long>(total));
            }
            break;
        case End::Canceled:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) scheduled mission,exit!!", __func__, __LINE__);
            if (!fs_context.stop.load()) FsNotifyFileTransCancel(data->name);
            break;
        case End::ReadError:
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) file trans failed, read error", __func__,
                           __LINE__);
            FsNotifyFileTransFailed(data->name, FS_REASON_READ_ERROR);
            break;
        case End::PhoneGone:
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) file trans of %s ended: the phone is gone",
                           __func__, __LINE__, data->name);
            break;
    }
}

void FsGenThumbnail(const FsMissionData* data, FsContext* /*ctx*/) {
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle thumbnail mission", __func__, __LINE__);
    char thumb[FILE_LIST_NAME_SIZE];
    snprintf(thumb, sizeof thumb, "%s", data->name);
    if (FsThumbnailNameConvert(thumb, sizeof thumb) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) convert thumbnial name failed!!", __func__,
                       __LINE__);
        FsNotifyThumbnailResult(data->name, false);
        return;
    }
    const std::string dir = board_path(FS_THUMB_DIR);
    if (fs_dir_exist(dir.c_str()) == 0) mkdir(dir.c_str(), 0777);
    const std::string target = dir + "/" + thumb;
    const int type = FsGetFileType(data->name);
    char media[FILE_LIST_PATH_SIZE];
    if ((type != FS_FILE_TYPE_PHOTO && type != FS_FILE_TYPE_VIDEO) ||
        fs_lookup(data->name, static_cast<uint16_t>(type), media, sizeof media) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) file %s not exist!!", __func__, __LINE__,
                       data->name);
        FsNotifyThumbnailResult(data->name, false);
        return;
    }
    if (type == FS_FILE_TYPE_VIDEO && FsFileSizeCheck(media) == 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) file %s invalid!!", __func__, __LINE__, data->name);
        FsNotifyThumbnailResult(data->name, false);
        return;
    }
    const std::string tmp = board_path("/tmp/") + thumb;
    if (thumbnail_generate(media, tmp.c_str(), kThumbWidth, kThumbHeight) == 0 &&
        fs_file_exist(tmp.c_str()) != 0 && file_get_size(tmp.c_str()) > 0 &&
        file_get_size(tmp.c_str()) != FILE_SIZE_UNKNOWN && move_file(tmp, target) == 0) {
        sleep_us(5000);
        fs_append(thumb, target.c_str(), FS_URI_THUMB);
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) thumbnail create success!!", __func__, __LINE__);
        FsNotifyThumbnailResult(data->name, true);
        return;
    }
    remove(tmp.c_str());
    plr_trace_logf(PLR_LOG_E, "%s(line:%d) thumbnail create failed!!", __func__, __LINE__);
    FsNotifyThumbnailResult(data->name, false);
    sleep_us(500000);
}

void MavlinkResourceMissionHandler(const FsMissionData* data, FsContext* ctx) {
    mavlink_resource_request_t req{};
    if (mavlink_msg_resource_request_decode(&data->msg, &req) != 0) return;
    char uri[MAVLINK_RESOURCE_URI_LEN + 1];
    fs_request_text(req.uri, uri);
    // The name looked up: the uri, or for a thumbnail its thumbnail name.
    char name[FILE_LIST_NAME_SIZE];
    snprintf(name, sizeof name, "%s", uri);
    bool convertible = true;
    if (req.uri_type == FS_URI_THUMB) convertible = FsThumbnailNameConvert(name, sizeof name) == 0;
    char path[FILE_LIST_PATH_SIZE] = "";
    const bool found =
        uri[0] != '\0' && convertible && fs_lookup(name, req.uri_type, path, sizeof path) == 0;
    if (!found || (req.uri_type == FS_URI_THUMB && file_get_size(path) == 0)) {
        FsNotifyFileNotExist();
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) file %s not exist!!", __func__, __LINE__, uri);
        if (req.uri_type == FS_URI_THUMB && uri[0] != '\0') {
            FsMissionData thumb{};
            thumb.uri_type = FS_URI_THUMB;
            snprintf(thumb.name, sizeof thumb.name, "%s", uri);
            fs_hand_on(&thumb, FsGenThumbnail, 0, ctx);
        }
        return;
    }
    // A recording in progress (or awaiting its repair) has no movie header
    // yet: it is neither sent nor deleted.
    const bool busy = fs_file_in_use(path);
    switch (req.transfer_type) {
        case FS_TRANS_INFO: {
            char dur[kDurSize] = "";
            int width = 0;
            int height = 0;
            const auto size = static_cast<long long>(file_get_size(path));
            if (thumbnail_get_meta(path, dur, sizeof dur, &width, &height) == 0) {
                FsNotify(FS_TAG_INFO, "FSIZE:%lld;DUR:%s;FNAME:%s;WIDTH:%d;HEIGHT:%d", size, dur,
                         uri, width, height);
            } else {
                FsNotify(FS_TAG_INFO, "FSIZE:%lld;FNAME:%s", size, uri);
            }
            break;
        }
        case FS_TRANS_DOWNLOAD: {
            const uint64_t size = file_get_size(path);
            const auto offset = static_cast<uint64_t>(fs_storage_number(req.storage));
            if (busy) {
                FsNotifyFileTransFailed(uri, FS_REASON_BUSY);
                break;
            }
            // An offset at the end resumes a finished download (nothing to
            // send); one past it names bytes the file does not have.
            if (size == FILE_SIZE_UNKNOWN || offset > size || offset > UINT32_MAX) {
                FsNotifyFileTransFailed(uri, FS_REASON_OFFSET);
                break;
            }
            FsMissionData trans{};
            trans.offset = static_cast<uint32_t>(offset);
            trans.uri_type = req.uri_type;
            snprintf(trans.path, sizeof trans.path, "%s", path);
            snprintf(trans.name, sizeof trans.name, "%s", uri);
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) trans file:%s,offset:%lu", __func__, __LINE__,
                           trans.name, static_cast<unsigned long>(trans.offset));
            fs_hand_on(&trans, FsFileTransfer, 1, ctx);
            break;
        }
        case FS_TRANS_DELETE: {
            if (busy) {
                FsNotify(FS_TAG_NOTIFY, "REMOVEFAILED:%s;REASON:%s", uri, FS_REASON_BUSY);
                break;
            }
            if (fs_delete(name, req.uri_type) != 0) {
                FsNotify(FS_TAG_NOTIFY, "REMOVEFAILED:%s", uri);
                break;
            }
            FsNotifyFileRemoved(uri);
            char thumb[FILE_LIST_NAME_SIZE];
            snprintf(thumb, sizeof thumb, "%s", uri);
            if (req.uri_type != FS_URI_THUMB && FsThumbnailNameConvert(thumb, sizeof thumb) == 0) {
                fs_delete(thumb, FS_URI_THUMB);
            }
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) file removed!!!", __func__, __LINE__);
            break;
        }
        case FS_TRANS_PLAY:
            if (req.uri_type != FS_URI_VIDEO) break;
            if (busy) {
                FsNotifyFileTransFailed(uri, FS_REASON_BUSY);
                break;
            }
            FsPlayStart(path, uri, fs_storage_number(req.storage), ctx);
            break;
        default:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) unknown transfer_type:%d", __func__, __LINE__,
                           req.transfer_type);
            break;
    }
}

// ---------------------------------------------------------------------------
// Requests.

void MavlinkResourceRequestHandler(const FsMissionData* data, const sockaddr_in* from) {
    mavlink_resource_request_t req{};
    if (mavlink_msg_resource_request_decode(&data->msg, &req) != 0) return;
    switch (req.transfer_type) {
        case FS_TRANS_CANCEL:
            fs_context.cancel.store(1);
            break;
        case FS_TRANS_RESUME:
        case FS_TRANS_PAUSE:
        case FS_TRANS_SEEK:
            FsPlayControl(req.transfer_type, req.uri_type, fs_storage_number(req.storage),
                          &fs_context);
            break;
        default:
            fs_new_mission(data, MavlinkResourceMissionHandler, 0, &fs_context, from);
            break;
    }
}

void MavlinkDataStreamHandler(const mavlink_message_t* msg) {
    mavlink_data_stream_t ds{};
    if (mavlink_msg_data_stream_decode(msg, &ds) != 0) return;
    fs_set_stream_on(ds.on_off);
}

int open_socket() {
    if (fs_context.fs_sock > 0) close(fs_context.fs_sock);
    fs_context.fs_sock = -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) Error can not create socket", __func__, __LINE__);
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) Udp:Enalarge socket sending buffer error!", __func__,
                       __LINE__);
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(FS_FILE_PORT);
    inet_pton(AF_INET, board_listen_address(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) bind fail!!!", __func__, __LINE__);
        close(fd);
        return -1;
    }
    fs_context.local_addr = addr;
    fs_context.fs_sock = fd;
    return 0;
}

void fs_request_handle() {
    plr_set_realtime("fs_request_handle", 2);
    std::vector<uint8_t> buf(kRecvBufferSize);
    while (!fs_context.stop.load()) {
        if (fs_context.fs_sock < 0 && open_socket() != 0) {
            for (int i = 0; i < 4 && !fs_context.stop.load(); ++i) sleep_us(250000);
            continue;
        }
        pollfd pfd{fs_context.fs_sock, POLLIN, 0};
        const int rc = poll(&pfd, 1, kRequestWaitMs);
        if (rc < 0) {
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) select failed!!!", __func__, __LINE__);
            if (errno != EINTR) {
                close(fs_context.fs_sock);
                fs_context.fs_sock = -1;
            }
            continue;
        }
        if (rc == 0) continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(fs_context.fs_sock, buf.data(), buf.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0) continue;
        const bool fromIpv4 = fromLen == sizeof from && from.sin_family == AF_INET;
        if (g_fwFileTrans.load() != 0) {
            if (const FsUploadHandler upload = g_uploadHandler.load(); upload && fromIpv4) {
                upload(buf.data(), static_cast<size_t>(n), &from);
            } else {
                plr_trace_logf(
                    PLR_LOG_W,
                    "%s(line:%d) upload datagram of %zd bytes dropped: no upload handler", __func__,
                    __LINE__, n);
            }
        } else {
            FsMessageDispatch(buf.data(), static_cast<size_t>(n), fromIpv4 ? &from : nullptr);
        }
    }
}

}  // namespace

void FsSetFwFileTransFlag(int flag) {
    g_fwFileTrans.store(flag != 0 ? 1 : 0);
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) firmware upload mode %s", __func__, __LINE__,
                   flag != 0 ? "on" : "off");
}

int FsGetFwFileTransFlag() {
    return g_fwFileTrans.load();
}

void FsSetUploadHandler(FsUploadHandler handler) {
    g_uploadHandler.store(handler);
}

void FsClearUploadHandler() {
    g_uploadHandler.store(nullptr);
}

int FsSendBuffer(const void* payload, size_t len) {
    sockaddr_in peer{};
    if (!fs_mission_requester(&fs_context, &peer)) return -22;
    fs_context.send_sem.acquire();
    const int rc = udp_send(payload, len, fs_context.fs_sock, &peer);
    fs_context.send_sem.release();
    return rc;
}

int FsRetransLastBuffer() {
    sockaddr_in peer{};
    if (!fs_mission_requester(&fs_context, &peer)) return -22;
    fs_context.send_sem.acquire();
    const int rc = udp_resend_last_pkg(fs_context.fs_sock, &peer);
    fs_context.send_sem.release();
    return rc;
}

FsDelivery FsDeliver(const void* payload, size_t len, bool interruptible) {
    return deliver([&] { return FsSendBuffer(payload, len); },
                   [interruptible] { return stop_test(interruptible); });
}

int FsFileTransProtoMsgSend(const char* text, uint8_t tag) {
    mavlink_message_t msg{};
    if (fs_pack_answer(fs_context.seq++, text, &msg) < 0) return -1;
    return FsSendMsg(&msg, tag);
}

void FsRequestCmdProcess(const mavlink_message_t* msg, const sockaddr_in* from) {
    if (msg == nullptr) return;
    FsMissionData data{};
    data.msg = *msg;
    switch (msg->msgid) {
        case MAVLINK_MSG_ID_DATA_STREAM:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle video stream request!", __func__,
                           __LINE__);
            MavlinkDataStreamHandler(msg);
            break;
        case MAVLINK_MSG_ID_RESOURCE_REQUEST:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle resource request!", __func__, __LINE__);
            MavlinkResourceRequestHandler(&data, from);
            break;
        case MAVLINK_MSG_ID_PARAM_REQUEST_LIST:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) handle file list request!", __func__, __LINE__);
            fs_new_mission(&data, MavlinkFileListRequestHandler, 0, &fs_context, from);
            break;
        default:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) unkown request msg!", __func__, __LINE__);
            break;
    }
}

void FsMessageDispatch(const uint8_t* data, size_t len, const sockaddr_in* from) {
    if (data == nullptr || len == 0) return;
    // A request is one datagram: the parser starts afresh for each, so that a
    // truncated frame cannot swallow the start of the next request.
    struct Sender {
        const sockaddr_in* from;
    } sender{from};
    mavlink_status_t parser{};
    mavlink_parser_reset(&parser);
    mavlink_parse_bytes(
        &parser, std::span(data, len),
        [](const mavlink_message_t* msg, void* ctx) {
            FsRequestCmdProcess(msg, static_cast<Sender*>(ctx)->from);
        },
        &sender);
}

int PLR_FS_Init() {
    fs_context.stop.store(false);
    fs_context.scheduled.store(0);
    fs_context.cancel.store(0);
    fs_context.seek_req.store(0);
    fs_context.play_pos.store(0);
    fs_context.paused.store(0);
    {
        std::lock_guard<std::mutex> lock(fs_context.peer_lock);
        fs_context.have_peer = false;
        fs_context.peer_addr = sockaddr_in{};
    }
    fs_mission_clean(&fs_context);
    fs_scan_flist();
    fs_stream_reset();
    // Bound before the threads start, so requests are received from now on;
    // the request thread opens it again whenever it fails.
    open_socket();
    fs_context.missionThreadID = std::thread([] {
        plr_set_realtime("fs_mission_handle", 2);
        fs_mission_handle(&fs_context);
    });
    fs_context.requestThreadID = std::thread(fs_request_handle);
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) fs init finished!!!", __func__, __LINE__);
    return 0;
}

int PLR_FS_Deinit() {
    fs_context.stop.store(true);
    fs_mission_wake(&fs_context);
    if (fs_context.missionThreadID.joinable()) fs_context.missionThreadID.join();
    if (fs_context.requestThreadID.joinable()) fs_context.requestThreadID.join();
    fs_catalog_free();
    fs_mission_clean(&fs_context);
    if (fs_context.fs_sock > 0) close(fs_context.fs_sock);
    fs_context.fs_sock = -1;
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) fs release finished!!!", __func__, __LINE__);
    return 0;
}
