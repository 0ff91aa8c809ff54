// The file service's request datagrams (UDP 8857): MAVLink frames (checksums
// fixed up) through the request dispatch, then every mission it queued run
// here in order, as the mission thread would, over a small card with one
// video, one photo and one thumbnail. No phone address is known, so answers
// fail at once instead of waiting for acknowledgements, and missions run with
// a cancel pending (a list or transfer mission would otherwise retry its
// sends for ever). Thumbnail generation missions are dropped: they
// decode media with FFmpeg and pause after each, and their input (the name)
// has been through the lookup that queued them.
#include <fstream>

#include "fs/fs_catalog.h"
#include "fs/fs_context.h"
#include "fs/fs_mission.h"
#include "fs/fs_service.h"
#include "fuzz_harness.h"
#include "state/fs_stream.h"

namespace {

// Card files the requests may name (deleted files come back each run).
const char* const kCardFiles[] = {
    "/tmp/SD0/PLRMEDIA/VIDEO/CLIP0001.MP4",
    "/tmp/SD0/PLRMEDIA/PIC/20260101/IMG_0001.JPG",
    "/tmp/SD0/PLRMEDIA/THUMB/IMG_0001.JPG",
};

void restore_card() {
    const fuzz::TempRoot& root = fuzz::TempRoot::get();
    bool changed = false;
    for (const char* file : kCardFiles) {
        const std::string host = root.path(file);
        if (std::filesystem::exists(host)) continue;
        std::filesystem::create_directories(std::filesystem::path(host).parent_path());
        std::ofstream(host, std::ios::binary) << "not really media";
        changed = true;
    }
    if (changed) fs_scan_flist();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    restore_card();
    fs_mission_clean(&fs_context);
    fs_context.cancel.store(0);
    fs_context.scheduled.store(0);
    fs_stream_reset();

    const std::vector<uint8_t> bytes = fuzz::with_mavlink_checksums(data, size);
    FsMessageDispatch(bytes.data(), bytes.size(), nullptr);

    // Missions may queue more missions; the queue holds three at most.
    for (int run = 0; run < 8; ++run) {
        FsMission mission{};
        if (!fs_mission_pop(&fs_context, &mission)) break;
        fs_mission_del(mission.id, &fs_context);
        const bool thumbnail = mission.data.msg.magic == 0 && mission.interruptible == 0;
        if (thumbnail) continue;
        fs_context.cancel.store(1);
        fs_context.scheduled.store(0);
        mission.handler(&mission.data, &fs_context);
        fs_context.cancel.store(0);
    }
    fs_mission_clean(&fs_context);
    fs_stream_reset();
    return 0;
}
