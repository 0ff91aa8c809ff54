#include "core/trace_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "board/board.h"

namespace {

constexpr uint32_t kLogCount = 3;

// One data log: its descriptor (0 never opened, -1 closed, > 0 open) and its
// write cache. The lock makes opening, writing and closing safe between the
// writers and the card handling, which closes logs from another thread.
struct DataLog {
    std::mutex lock;
    int fd = 0;
    std::unique_ptr<char[]> cache;
    size_t cached = 0;
};

struct LogContext {
    std::mutex traceMutex;
    std::mutex flylogMutex;
    std::array<DataLog, kLogCount> logs;
    std::atomic<uint32_t> method{0};
    std::atomic<uint32_t> level{0};
    std::atomic<uint32_t> sdStatus{0};
    std::atomic<uint32_t> traceEnabled{0};
    std::atomic<uint32_t> flylogEnabled{0};
    std::atomic<uint32_t> forceStop{0};
    std::atomic<uint32_t> cache{0};
    std::atomic<bool (*)()> clockSynced{nullptr};
};

LogContext log_context;

// Numbered files are "<stem><n>.txt", time-stamped ones "/tmp/SD0/<time>_<tag>.txt".
struct LogNames {
    const char* stem;
    const char* tag;
    const char* counter;
};
constexpr std::array<LogNames, kLogCount> kNames = {{
    {"/tmp/SD0/VBoardDataLog", "VB", "/tmp/SD0/VBoardID"},
    {"/tmp/SD0/FlyctlDataLog", "FC", "/tmp/SD0/FlyctlID"},
    {"/tmp/SD0/GimbalDataLog", "GB", "/tmp/SD0/GimbalID"},
}};

uint32_t log_index(uint32_t type) {
    return type < kLogCount ? type : PLR_LOG_TYPE_VBOARD;
}

void local_time_now(struct tm* tmv, long* microseconds) {
    struct timeval tv {};
    board_clock_gettimeofday(&tv);
    const time_t seconds = tv.tv_sec;
    localtime_r(&seconds, tmv);
    *microseconds = static_cast<long>(tv.tv_usec);
}

// Writes all of `size` bytes; returns the count written or -1.
ssize_t write_all(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : n;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

void close_locked(uint32_t type, DataLog& log) {
    const bool closes = type == PLR_LOG_TYPE_FLYCTL
                            ? (log_context.flylogEnabled.load() != 0 && log.fd >= 1)
                            : log.fd > 0;
    if (closes) {
        close(log.fd);
        log.fd = -1;
    }
}

void flush_cache_locked(DataLog& log) {
    if (log.cache == nullptr) return;
    if (log.cached > 0 && log.fd > 0) write_all(log.fd, log.cache.get(), log.cached);
    log.cache.reset();
    log.cached = 0;
}

int open_locked(uint32_t type, DataLog& log) {
    if (!board_file_exists("/dev/mmcblk2p1") || log_context.sdStatus.load() != 0 ||
        log_context.forceStop.load() != 0) {
        return -1;
    }
    const LogNames& names = kNames[type];
    char name[256] = {};
    int number = -1;
    bool (*synced)() = log_context.clockSynced.load();
    if (synced != nullptr && synced()) {
        char prefix[32] = {};
        PLR_LOG_GenFilePrefix(prefix, sizeof prefix);
        snprintf(name, sizeof name, "/tmp/SD0/%s_%s.txt", prefix, names.tag);
    } else {
        number = plr_trace_log_getIndex(type);
        snprintf(name, sizeof name, "%s%d.txt", names.stem, number);
    }
    if (type == PLR_LOG_TYPE_FLYCTL && log_context.flylogEnabled.load() == 0) return 0;
    if (log.fd > 0) close(log.fd);
    log.fd = -1;
    const std::string path = board_path(name);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (type == PLR_LOG_TYPE_VBOARD) {
            printf("Could not open vb log file");
        } else {
            plr_trace_logf(PLR_LOG_E,
                           type == PLR_LOG_TYPE_FLYCTL ? "Could not open fc log file %s"
                                                       : "Could not open gb log file %s",
                           name);
        }
        return -1;
    }
    if (number >= 0) plr_trace_log_setFileId(board_path(names.counter).c_str(), number);
    log.fd = fd;
    return 0;
}

}  // namespace

void TRACE_LOG_LEVEL(uint32_t level) {
    log_context.level.store(level);
}
void TRACE_LOG_METHOD(uint32_t method) {
    log_context.method.store(method);
}
uint32_t TRACE_LOG_GETMETHOD() {
    return log_context.method.load();
}

void TRACE_LOG_ENABLE() {
    log_context.traceEnabled.store(1);
    if (log_context.method.load() == PLR_LOG_METHOD_FILE) {
        for (uint32_t type = 0; type < kLogCount; ++type) plr_trace_log_sysInit(type);
    }
}

void TRACE_LOG_DISABLE() {
    if (log_context.traceEnabled.load() == 0) return;
    {
        std::lock_guard trace(log_context.traceMutex);
        plr_trace_log_sysDeinit(PLR_LOG_TYPE_VBOARD);
    }
    log_context.traceEnabled.store(0);
}

void TRACE_FLYC_LOG_ENABLE() {
    log_context.flylogEnabled.store(1);
}

void TRACE_FLYC_LOG_DISABLE() {
    if (log_context.flylogEnabled.load() == 0) return;
    {
        std::lock_guard flylog(log_context.flylogMutex);
        plr_trace_log_sysDeinit(PLR_LOG_TYPE_FLYCTL);
    }
    log_context.flylogEnabled.store(0);
}

void TRACE_LOG_CACHE_Enable() {
    log_context.cache.store(1);
}
void TRACE_LOG_CACHE_Disable() {
    log_context.cache.store(0);
}
void TRACE_LOG_SET_SD_STATUS(uint32_t status) {
    log_context.sdStatus.store(status);
}
uint32_t TRACE_LOG_GET_SD_STATUS() {
    return log_context.sdStatus.load();
}
uint32_t TRACE_LOG_SD_STATUS() {
    return log_context.sdStatus.load();
}

void TRACE_LOG_SD_UPDATE(uint32_t status) {
    log_context.sdStatus.store(status);
    plr_trace_logf(PLR_LOG_D, "TRACE_LOG_SD_UPDATE:%u", status);
    if (status != 0) plr_trace_log_stop();
}

void TRACE_LOG_ForceStop(uint32_t on) {
    log_context.forceStop.store(on);
    if (on != 0) plr_trace_log_stop();
}

void PLR_LOG_SetClockSyncQuery(bool (*query)()) {
    log_context.clockSynced.store(query);
}

char plr_trace_level_letter(uint32_t level) {
    static constexpr char kLetters[] = "CEWNDISF";
    return level < 8 ? kLetters[level] : 'U';
}

size_t plr_trace_format_line(char* line, uint32_t level, const char* text, long long epochSeconds,
                             long microseconds) {
    const time_t seconds = static_cast<time_t>(epochSeconds);
    struct tm tmv {};
    localtime_r(&seconds, &tmv);
    const size_t stamp = strftime(line, PLR_TRACE_LINE_SIZE, "[%H:%M:%S", &tmv);
    // The text is cut so that the line always fits its buffer.
    const int n = snprintf(line + stamp, PLR_TRACE_LINE_SIZE - stamp, ".%03d][%c] %.*s\n",
                           static_cast<int>(microseconds / 1000), plr_trace_level_letter(level),
                           static_cast<int>(PLR_TRACE_LINE_SIZE - 20), text);
    return stamp + static_cast<size_t>(n);
}

void plr_trace_log(uint32_t level, const char* text) {
    if (level > log_context.level.load() || text == nullptr || log_context.traceEnabled.load() == 0)
        return;
    const uint32_t method = log_context.method.load();
    DataLog& vb = log_context.logs[PLR_LOG_TYPE_VBOARD];
    if (method == PLR_LOG_METHOD_FILE && log_context.sdStatus.load() == 0) {
        std::lock_guard lock(vb.lock);
        if (vb.fd == 0) open_locked(PLR_LOG_TYPE_VBOARD, vb);
    }
    struct timeval tv {};
    board_clock_gettimeofday(&tv);
    char line[PLR_TRACE_LINE_SIZE];
    const size_t length =
        plr_trace_format_line(line, level, text, tv.tv_sec, static_cast<long>(tv.tv_usec));
    if (method == PLR_LOG_METHOD_CONSOLE) {
        fwrite(line, 1, length, stdout);
        fflush(stdout);
    } else if (method == PLR_LOG_METHOD_FILE) {
        bool opened = false;
        {
            std::lock_guard lock(vb.lock);
            opened = vb.fd != 0;
        }
        if (opened) {
            std::lock_guard trace(log_context.traceMutex);
            PLR_LOG_Write(PLR_LOG_TYPE_VBOARD, line, static_cast<uint32_t>(length));
        }
    }
}

void plr_trace_logf(uint32_t level, const char* format, ...) {
    if (level > log_context.level.load() || log_context.traceEnabled.load() == 0) return;
    char text[PLR_TRACE_TEXT_SIZE] = {};
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    plr_trace_log(level, text);
}

int PLR_LOG_Write(uint32_t type, const void* data, uint32_t length) {
    if (data == nullptr || length == 0 || log_context.forceStop.load() != 0) return -1;
    type = log_index(type);
    DataLog& log = log_context.logs[type];
    std::lock_guard lock(log.lock);
    if (log_context.sdStatus.load() != 0) {
        close_locked(type, log);
        return -1;
    }
    const char* record = static_cast<const char*>(data);
    size_t recordLength = length;
    char fcRecord[PLR_LOG_FC_STAMP_LEN + PLR_LOG_FC_DATA_MAX + 1];
    if (type == PLR_LOG_TYPE_FLYCTL) {
        if (log_context.flylogEnabled.load() == 0) return -1;
        struct tm tmv {};
        long us = 0;
        local_time_now(&tmv, &us);
        strftime(fcRecord, sizeof fcRecord, "%H:%M:%S", &tmv);
        snprintf(fcRecord + 8, sizeof fcRecord - 8, ".%03d,", static_cast<int>(us / 1000));
        const size_t dataLength = length < PLR_LOG_FC_DATA_MAX ? length : PLR_LOG_FC_DATA_MAX;
        memcpy(fcRecord + PLR_LOG_FC_STAMP_LEN, data, dataLength);
        record = fcRecord;
        recordLength = PLR_LOG_FC_STAMP_LEN + dataLength;
    }
    if (log.fd < 1) open_locked(type, log);
    if (log.fd < 1) return -1;

    if (log_context.cache.load() != 0) {
        if (log.cache != nullptr && log.cached + recordLength > PLR_LOG_CACHE_SIZE)
            flush_cache_locked(log);
        if (recordLength > PLR_LOG_CACHE_SIZE) {
            write_all(log.fd, record, recordLength);
            return 0;
        }
        if (log.cache == nullptr) {
            log.cache.reset(new (std::nothrow) char[PLR_LOG_CACHE_SIZE]);
            if (log.cache == nullptr) return -1;
            log.cached = 0;
        }
        memcpy(log.cache.get() + log.cached, record, recordLength);
        log.cached += recordLength;
        if (log.cached >= PLR_LOG_CACHE_FLUSH) flush_cache_locked(log);
        return 0;
    }
    flush_cache_locked(log);
    if (write_all(log.fd, record, recordLength) < 1) close_locked(type, log);
    return 0;
}

int plr_trace_log_sysInit(uint32_t type) {
    type = log_index(type);
    DataLog& log = log_context.logs[type];
    std::lock_guard lock(log.lock);
    return open_locked(type, log);
}

int plr_trace_log_sysDeinit(uint32_t type) {
    type = log_index(type);
    DataLog& log = log_context.logs[type];
    std::lock_guard lock(log.lock);
    close_locked(type, log);
    return 0;
}

int PLR_LOG_Stop(uint32_t type) {
    return plr_trace_log_sysDeinit(type);
}

int plr_trace_log_stop() {
    plr_trace_log_sysDeinit(PLR_LOG_TYPE_GIMBAL);
    plr_trace_log_sysDeinit(PLR_LOG_TYPE_FLYCTL);
    plr_trace_log_sysDeinit(PLR_LOG_TYPE_VBOARD);
    return 0;
}

void plr_flylog_mutex_lock() {
    if (log_context.flylogEnabled.load() != 0) log_context.flylogMutex.lock();
}

void plr_flylog_mutex_unlock() {
    if (log_context.flylogEnabled.load() != 0) log_context.flylogMutex.unlock();
}

int plr_trace_log_getIndex(uint32_t type) {
    const int id = plr_trace_log_getFileId(board_path(kNames[log_index(type)].counter).c_str());
    return id < 0 ? 0 : id + 1;
}

int plr_trace_log_getFileId(const char* path) {
    if (path == nullptr) return -1;
    FILE* file = fopen(path, "re");
    if (file == nullptr) return -1;
    char line[100] = {};
    const bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read || line[0] == '\0') return -1;
    return atoi(line);
}

int plr_trace_log_setFileId(const char* path, int id) {
    if (path == nullptr) return -1;
    FILE* file = fopen(path, "we");
    if (file == nullptr) return 0;
    fprintf(file, "%d\n", id);
    fclose(file);
    return 0;
}

int PLR_LOG_GenFilePrefix(char* buf, uint32_t size) {
    if (buf == nullptr || size == 0) return -1;
    struct tm tmv {};
    long us = 0;
    local_time_now(&tmv, &us);
    if (strftime(buf, size, "%Y%m%d_%H%M%S", &tmv) == 0) buf[0] = '\0';
    return 0;
}

void plr_trace_log_reset() {
    for (uint32_t type = 0; type < kLogCount; ++type) {
        DataLog& log = log_context.logs[type];
        std::lock_guard lock(log.lock);
        if (log.fd > 0) close(log.fd);
        log.fd = 0;
        log.cache.reset();
        log.cached = 0;
    }
    log_context.method.store(0);
    log_context.level.store(0);
    log_context.sdStatus.store(0);
    log_context.traceEnabled.store(0);
    log_context.flylogEnabled.store(0);
    log_context.forceStop.store(0);
    log_context.cache.store(0);
    log_context.clockSynced.store(nullptr);
}
