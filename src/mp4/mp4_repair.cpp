#include "mp4/mp4_repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "board/board.h"
#include "core/trace_log.h"
#include "mp4/mp4_index.h"
#include "mp4/mp4_writer.h"

// Recordings pass 4 GiB: the opens, sizes and seeks here need 64-bit file offsets, also on
// the 32-bit board (_FILE_OFFSET_BITS=64 is set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace {

constexpr const char* kJournalDir = ".journal";
constexpr const char* kJournalSuffix = ".jnl";
constexpr size_t kJournalMax = 1 << 20;

bool read_whole(int fd, uint64_t offset, uint8_t* out, size_t size) {
    while (size > 0) {
        const ssize_t n = board_card_pread(fd, out, size, static_cast<int64_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool read_journal(const char* path, Mp4WTrackInfo* info) {
    const int fd = board_card_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    struct stat st {};
    std::vector<uint8_t> bytes;
    bool ok =
        fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= kJournalMax;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.st_size));
        ok = read_whole(fd, 0, bytes.data(), bytes.size());
    }
    board_card_close(fd);
    return ok && MP4W_DecodeJournal(bytes, info) == 0;
}

// The writer's header ends with an 8-byte "free" box and the media data's
// 8-byte header; only a close writes a 64-bit size over both. Back in that
// form, the rebuild's close writes the size where the header has it.
bool restore_recording_header(const char* path, const Mp4RLayout& layout) {
    if (layout.dataOffset - layout.mdatOffset != 16) return true;
    static constexpr uint8_t kHeader[16] = {0, 0, 0, 8, 'f', 'r', 'e', 'e',
                                            0, 0, 0, 0, 'm', 'd', 'a', 't'};
    const int fd = board_card_open(path, O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = lseek(fd, static_cast<off_t>(layout.mdatOffset), SEEK_SET) >= 0 &&
                    board_card_write(fd, kHeader, sizeof kHeader) == sizeof kHeader;
    return board_card_close(fd) == 0 && ok;
}

// Writes the movie header behind the samples found.
bool rebuild(const char* path, int fd, const Mp4RLayout& layout,
             const std::vector<Mp4RSample>& samples, const Mp4WTrackInfo& info) {
    if (!restore_recording_header(path, layout)) return false;
    const Mp4RSample& last = samples.back();
    Mp4WFile* file = MP4W_Reopen(path, layout.dataOffset, last.offset + last.size);
    if (file == nullptr) return false;
    bool ok = MP4W_SetTrack(file, info) == 0;
    std::vector<uint8_t> buffer;
    for (size_t i = 0; ok && i < samples.size(); ++i) {
        buffer.resize(samples[i].size);
        ok = read_whole(fd, samples[i].offset, buffer.data(), buffer.size()) &&
             MP4W_WriteSample(file, 1, buffer.data(), samples[i].size, samples[i].sync) == 0;
    }
    return MP4W_Close(file) == 0 && ok;
}

// ---- the repair worker ----

struct RepairWorker {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::string> queue;  // board paths of recordings
    bool busy = false;
    bool stop = false;
    std::thread thread;
    ~RepairWorker();
};
RepairWorker g_repair;

void repair_one(const std::string& recording) {
    const std::string host = board_path(recording);
    const std::string journal = board_path(PLR_MOV_JournalPath(recording));
    uint32_t samples = 0;
    switch (MP4R_RepairFile(host.c_str(), journal.c_str(), &samples)) {
        case MP4R_REPAIRED:
            plr_trace_logf(PLR_LOG_N, "MP4 repaired: %s, %u samples", recording.c_str(), samples);
            break;
        case MP4R_REMOVED:
            plr_trace_logf(PLR_LOG_N, "MP4 without samples removed: %s", recording.c_str());
            break;
        case MP4R_COMPLETE:
            break;
        case MP4R_FAILED:
            plr_trace_logf(PLR_LOG_E, "MP4 repair failed: %s", recording.c_str());
            break;
    }
}

void repair_thread() {
    std::unique_lock guard(g_repair.lock);
    for (;;) {
        g_repair.wake.wait(guard, [] { return g_repair.stop || !g_repair.queue.empty(); });
        if (g_repair.stop) break;
        const std::string recording = std::move(g_repair.queue.front());
        g_repair.queue.pop_front();
        g_repair.busy = true;
        guard.unlock();
        repair_one(recording);
        guard.lock();
        g_repair.busy = false;
        g_repair.wake.notify_all();
    }
    g_repair.busy = false;
    g_repair.wake.notify_all();
}

// A process that ends without PLR_MOV_RepairStop still ends cleanly.
RepairWorker::~RepairWorker() {
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

}  // namespace

int MP4R_ReadLayout(const Mp4RRead& read, uint64_t fileSize, Mp4RLayout* layout) {
    if (layout == nullptr) return -1;
    *layout = Mp4RLayout{};
    uint64_t pos = 0;
    while (pos + 8 <= fileSize) {
        Mp4BoxHeader box;
        const Mp4BoxResult rc = mp4_read_box_header(read, pos, fileSize, &box);
        if (rc == MP4_BOX_UNREADABLE) return pos == 0 ? -1 : 0;
        if (rc != MP4_BOX_OK) break;
        // A 64-bit size still 0 also runs to the end: a close cut off while it
        // was writing the size.
        const bool toEnd = box.toEnd || box.size == 0;
        const uint64_t size = box.size == 0 ? fileSize - pos : box.size;
        if (size < box.header) break;
        if (pos == 0) {
            if (memcmp(box.type, "ftyp", 4) != 0) break;
            layout->isMp4 = true;
        }
        if (!mov_top_level_box_known(box.type)) layout->foreignBox = true;
        if (memcmp(box.type, "mdat", 4) == 0) {
            layout->mdatOffset = pos;
            layout->dataOffset = pos + box.header;
            layout->dataLimit = std::min(pos + size, fileSize);
            layout->mdatSized = !toEnd;
        } else if (memcmp(box.type, "moov", 4) == 0 && pos + size <= fileSize) {
            layout->hasMovie = true;
        }
        if (toEnd || pos + size > fileSize) break;
        pos += size;
    }
    return 0;
}

bool MP4R_IsComplete(const Mp4RLayout& layout) {
    return layout.isMp4 && layout.hasMovie && layout.mdatOffset != 0 && layout.mdatSized;
}

std::vector<Mp4RSample> MP4R_ScanSamples(const Mp4RRead& read, uint64_t begin, uint64_t end) {
    std::vector<Mp4RSample> samples;
    uint64_t pos = begin;
    while (pos + 5 <= end) {
        uint8_t head[5];
        if (!read(pos, head, sizeof head)) break;
        const uint32_t length = mp4_be32(head);
        const uint8_t type = head[4] & 0x1f;
        if (length == 0 || length > end - pos - 4 || (head[4] & 0x80) != 0 || type == 0 ||
            type > 23 || type == 7 || type == 8) {
            break;
        }
        samples.push_back(Mp4RSample{pos, length + 4, type == 5});
        pos += static_cast<uint64_t>(length) + 4;
    }
    return samples;
}

Mp4RResult MP4R_RepairFile(const char* path, const char* journalPath, uint32_t* samples) {
    if (samples != nullptr) *samples = 0;
    if (path == nullptr || journalPath == nullptr) return MP4R_FAILED;
    const int fd = board_card_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        // The recording is gone (deleted as too small, for one): so is its journal's use.
        if (errno == ENOENT) {
            unlink(journalPath);
            return MP4R_REMOVED;
        }
        return MP4R_FAILED;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        board_card_close(fd);
        return MP4R_FAILED;
    }
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    const Mp4RRead read = [fd](uint64_t offset, uint8_t* out, size_t size) {
        return read_whole(fd, offset, out, size);
    };
    Mp4RLayout layout;
    Mp4RResult result = MP4R_FAILED;
    if (MP4R_ReadLayout(read, fileSize, &layout) != 0) {
        result = MP4R_FAILED;
    } else if (MP4R_IsComplete(layout)) {
        result = MP4R_COMPLETE;
    } else if (fileSize != 0 && (!layout.isMp4 || layout.foreignBox || layout.hasMovie)) {
        // Not a recording of ours cut off: its movie header comes only after
        // the media data, once the data's size is written. Left alone.
        result = MP4R_FAILED;
    } else {
        const std::vector<Mp4RSample> found =
            layout.mdatOffset == 0 ? std::vector<Mp4RSample>{}
                                   : MP4R_ScanSamples(read, layout.dataOffset, layout.dataLimit);
        Mp4WTrackInfo info;
        if (found.empty()) {
            result = unlink(path) == 0 ? MP4R_REMOVED : MP4R_FAILED;
        } else if (read_journal(journalPath, &info) && rebuild(path, fd, layout, found, info)) {
            result = MP4R_REPAIRED;
            if (samples != nullptr) *samples = static_cast<uint32_t>(found.size());
        }
    }
    board_card_close(fd);
    if (result != MP4R_FAILED) unlink(journalPath);
    return result;
}

std::string PLR_MOV_JournalPath(std::string_view recording) {
    const size_t slash = recording.rfind('/');
    const std::string_view dir =
        slash == std::string_view::npos ? std::string_view{} : recording.substr(0, slash + 1);
    const std::string_view name =
        slash == std::string_view::npos ? recording : recording.substr(slash + 1);
    std::string out(dir);
    out += kJournalDir;
    out += '/';
    out += name;
    out += kJournalSuffix;
    return out;
}

int PLR_MOV_RepairScan(std::string_view videoDir) {
    const std::filesystem::path dir = std::filesystem::path(board_path(videoDir)) / kJournalDir;
    std::error_code ec;
    int queued = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        const size_t suffix = strlen(kJournalSuffix);
        if (name.size() <= suffix ||
            name.compare(name.size() - suffix, suffix, kJournalSuffix) != 0)
            continue;
        name.resize(name.size() - suffix);
        std::string recording(videoDir);
        recording += '/';
        recording += name;
        PLR_MOV_RepairQueue(recording);
        ++queued;
    }
    return queued;
}

void PLR_MOV_RepairQueue(std::string_view recording) {
    std::lock_guard guard(g_repair.lock);
    for (const std::string& queued : g_repair.queue) {
        if (queued == recording) return;
    }
    g_repair.queue.emplace_back(recording);
    if (!g_repair.thread.joinable()) {
        g_repair.stop = false;
        g_repair.thread = std::thread(repair_thread);
    }
    g_repair.wake.notify_all();
}

int PLR_MOV_RepairWait() {
    std::unique_lock guard(g_repair.lock);
    g_repair.wake.wait(guard, [] {
        return (g_repair.queue.empty() && !g_repair.busy) || !g_repair.thread.joinable() ||
               g_repair.stop;
    });
    return 0;
}

int PLR_MOV_RepairStop() {
    std::thread thread;
    {
        std::lock_guard guard(g_repair.lock);
        g_repair.stop = true;
        g_repair.queue.clear();
        thread = std::move(g_repair.thread);
    }
    g_repair.wake.notify_all();
    if (thread.joinable()) thread.join();
    std::lock_guard guard(g_repair.lock);
    g_repair.stop = false;
    return 0;
}
