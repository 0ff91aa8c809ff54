#include "fs/fs_mission.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "board/board.h"
#include "core/memory.h"
#include "core/trace_log.h"
#include "state/fs_stream.h"

namespace {

std::mutex g_idLock;
uint32_t g_lastId = 0;

bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The running mission's requester becomes the address of all sends.
void set_requester(FsContext* ctx, const FsMission* mission) {
    std::lock_guard<std::mutex> lock(ctx->peer_lock);
    ctx->have_peer = mission != nullptr && mission->has_requester;
    ctx->peer_addr = ctx->have_peer ? mission->requester : sockaddr_in{};
}

void mission_list_show(const std::deque<FsMission>& list) {
    if (list.empty()) {
        plr_trace_logf(PLR_LOG_D, "%s(line:%d), mission list empty!!", __func__, __LINE__);
        return;
    }
    for (const FsMission& m : list) {
        plr_trace_logf(PLR_LOG_D, "%s(line:%d), mission id:%u", __func__, __LINE__, m.id);
    }
}

}  // namespace

uint32_t fs_gen_mission_id() {
    timeval tv{};
    board_clock_gettimeofday(&tv);
    uint32_t id = static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u +
                                        static_cast<uint64_t>(tv.tv_usec));
    std::lock_guard<std::mutex> lock(g_idLock);
    // Missions are deleted by id: never hand out 0 or the previous id.
    if (id == 0 || id == g_lastId) id = g_lastId + 1;
    if (id == 0) id = 1;
    g_lastId = id;
    return id;
}

int fs_mission_add(const FsMission* mission, FsContext* ctx) {
    if (mission == nullptr || ctx == nullptr) return -1;
    std::lock_guard<std::mutex> lock(ctx->mission_lock);
    if (static_cast<int>(ctx->mission_list.size()) >= FS_MISSION_LIMIT) return -1;
    ctx->mission_list.push_back(*mission);
    return 0;
}

int fs_mission_schedule(FsContext* ctx) {
    if (ctx == nullptr) return -1;
    ctx->scheduled.store(1);
    ctx->mission_cond.notify_all();
    return 0;
}

int fs_new_mission(const FsMissionData* data, FsMissionHandler handler, uint32_t interruptible,
                   FsContext* ctx, const sockaddr_in* requester) {
    if (data == nullptr || handler == nullptr || ctx == nullptr) return -1;
    FsMission mission{};
    mission.id = fs_gen_mission_id();
    mission.interruptible = interruptible != 0 ? 1 : 0;
    mission.notify = 1;
    mission.data = *data;
    mission.handler = handler;
    mission.has_requester = requester != nullptr;
    if (requester != nullptr) mission.requester = *requester;
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) got mission msg:%d,mission.id:%u", __func__, __LINE__,
                   data->msg.msgid, mission.id);
    {
        // Under the lock that the mission thread holds while it takes the
        // next mission: the running one here is never the one just added.
        std::lock_guard<std::mutex> lock(ctx->mission_lock);
        if (static_cast<int>(ctx->mission_list.size()) >= FS_MISSION_LIMIT) return -1;
        ctx->mission_list.push_back(mission);
        std::lock_guard<std::mutex> peer(ctx->peer_lock);
        if (requester != nullptr && ctx->have_peer && same_address(ctx->peer_addr, *requester)) {
            ctx->superseded.store(1);
        }
    }
    return fs_mission_schedule(ctx);
}

bool fs_mission_requester(FsContext* ctx, sockaddr_in* out) {
    std::lock_guard<std::mutex> lock(ctx->peer_lock);
    if (!ctx->have_peer) return false;
    *out = ctx->peer_addr;
    return true;
}

int fs_hand_on(const FsMissionData* data, FsMissionHandler handler, uint32_t interruptible,
               FsContext* ctx) {
    if (ctx == nullptr) return -1;
    sockaddr_in requester{};
    const bool known = fs_mission_requester(ctx, &requester);
    return fs_new_mission(data, handler, interruptible, ctx, known ? &requester : nullptr);
}

bool fs_mission_pop(FsContext* ctx, FsMission* out) {
    if (ctx == nullptr || ctx->mission_list.empty()) {
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) no mission should be execute!!", __func__, __LINE__);
        return false;
    }
    *out = ctx->mission_list.front();
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) POP active mission:%u", __func__, __LINE__, out->id);
    return true;
}

int fs_mission_del(uint32_t id, FsContext* ctx) {
    if (ctx == nullptr || id == 0) return -1;
    std::lock_guard<std::mutex> lock(ctx->mission_lock);
    auto it = std::find_if(ctx->mission_list.begin(), ctx->mission_list.end(),
                           [id](const FsMission& m) { return m.id == id; });
    if (it == ctx->mission_list.end()) return -1;
    ctx->mission_list.erase(it);
    return 0;
}

void fs_mission_clean(FsContext* ctx) {
    if (ctx == nullptr) return;
    std::lock_guard<std::mutex> lock(ctx->mission_lock);
    ctx->mission_list.clear();
}

int fs_mission_count(FsContext* ctx) {
    if (ctx == nullptr) return -1;
    std::lock_guard<std::mutex> lock(ctx->mission_lock);
    return static_cast<int>(ctx->mission_list.size());
}

bool fs_mission_should_stop(const FsContext* ctx, bool interruptible) {
    return ctx->cancel.load() != 0 || fs_is_stream_blocked() != 0 || fs_is_stream_on() != 0 ||
           ctx->stop.load() || ctx->superseded.load() != 0 ||
           (interruptible && ctx->scheduled.load() != 0);
}

void fs_mission_wake(FsContext* ctx) {
    { std::lock_guard<std::mutex> lock(ctx->mission_lock); }
    ctx->mission_cond.notify_all();
}

void fs_mission_handle(FsContext* ctx) {
    while (!ctx->stop.load()) {
        FsMission mission{};
        {
            std::unique_lock<std::mutex> lock(ctx->mission_lock);
            mission_list_show(ctx->mission_list);
            bool popped = fs_mission_pop(ctx, &mission);
            while (!popped && !ctx->stop.load()) {
                ctx->mission_cond.wait(lock);
                if (ctx->stop.load()) break;
                popped = fs_mission_pop(ctx, &mission);
            }
            if (!popped) break;
            ctx->superseded.store(0);
            set_requester(ctx, &mission);
        }
        if (fs_is_stream_blocked() != 0) {
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) Clear mission,id:%u!!", __func__, __LINE__,
                           mission.id);
            fs_mission_clean(ctx);
            set_requester(ctx, nullptr);
            continue;
        }
        plr_trace_logf(PLR_LOG_D, "%s(line:%d) Handle mission schedule,id:%u!!", __func__, __LINE__,
                       mission.id);
        ctx->scheduled.store(0);
        ctx->cancel.store(0);
        mission.handler(&mission.data, ctx);
        set_requester(ctx, nullptr);
        fs_mission_del(mission.id, ctx);
        // A download, playback or thumbnail has let go of its file and buffers.
        PLR_MAIN_MemoryTrimRequest();
    }
}
