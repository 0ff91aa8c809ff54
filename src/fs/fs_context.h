// The file service's context record, shared by its modules: the request
// socket and the phone's address, the mission queue and its lock, the control
// words polled by running missions, and the media catalogue's three lists.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <semaphore>
#include <thread>

#include "fs/file_list.h"
#include "mav/mavlink_frame.h"

struct FsContext;

// A mission's data area: the transfer, playback and thumbnail missions use
// the block at its start; missions made straight from a request carry the
// received message record at offset 1030 (the first 1030 bytes zero).
inline constexpr size_t FS_MISSION_DATA_SIZE = 1304;
inline constexpr size_t FS_MISSION_PATH_SIZE = 512;
struct FsMissionData {
    uint32_t offset;                  // start offset of a download
    uint16_t uri_type;                // FsUriType
    char path[FS_MISSION_PATH_SIZE];  // full path of the file to read
    char name[FS_MISSION_PATH_SIZE];  // name reported to the phone
    mavlink_message_t msg;            // the request message
};
static_assert(sizeof(FsMissionData) == FS_MISSION_DATA_SIZE);

using FsMissionHandler = void (*)(const FsMissionData* data, FsContext* ctx);

struct FsMission {
    uint32_t id;             // creation time in us, unique
    uint32_t interruptible;  // 1: stops when another mission is scheduled
    uint32_t notify;
    FsMissionData data;
    FsMissionHandler handler;
    // The address of the request that made it: all its answers go there.
    sockaddr_in requester;
    bool has_requester;
};

struct FsContext {
    std::atomic<int> fs_sock{-1};
    sockaddr_in local_addr{};
    // The requester of the running mission: its answers go there, whoever
    // sends datagrams meanwhile. Set by the mission thread for each mission.
    std::mutex peer_lock;  // guards peer_addr and have_peer
    sockaddr_in peer_addr{};
    bool have_peer = false;

    std::mutex mission_lock;  // guards mission_list and the catalogue lists
    std::condition_variable mission_cond;
    std::deque<FsMission> mission_list;
    std::thread missionThreadID;
    std::thread requestThreadID;
    std::atomic<bool> stop{false};

    std::atomic<uint32_t> scheduled{0};
    std::atomic<uint32_t> cancel{0};
    // Set when the running mission's requester sent a newer request: its old
    // mission, interruptible or not, then gives way.
    std::atomic<uint32_t> superseded{0};
    std::atomic<uint32_t> seek_req{0};
    std::atomic<uint32_t> play_pos{0};
    std::atomic<uint32_t> paused{0};

    std::counting_semaphore<2> send_sem{2};
    uint8_t seq = 0;  // sequence number of the service's own frames (mission thread)

    file_list_node* pic_list = nullptr;
    file_list_node* thumb_list = nullptr;
    file_list_node* video_list = nullptr;
};

extern FsContext fs_context;
