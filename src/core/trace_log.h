// Trace log (diagnostic lines to the console or the card) and the three data
// logs on the card: video board (0, also the trace file), flight controller
// (1) and gimbal (2).
#pragma once

#include <cstddef>
#include <cstdint>

enum PlrLogLevel : uint32_t {
    PLR_LOG_C = 0,  // echo of log text received from the phone
    PLR_LOG_E = 1,  // errors and failures
    PLR_LOG_W = 2,
    PLR_LOG_N = 3,
    PLR_LOG_D = 4,  // ordinary trace of operations
    PLR_LOG_I = 5,  // notable events
    PLR_LOG_S = 6,
    PLR_LOG_F = 7,
};

enum PlrLogType : uint32_t {
    PLR_LOG_TYPE_VBOARD = 0,
    PLR_LOG_TYPE_FLYCTL = 1,
    PLR_LOG_TYPE_GIMBAL = 2,
};

enum PlrLogMethod : uint32_t {
    PLR_LOG_METHOD_CONSOLE = 0,
    PLR_LOG_METHOD_FILE = 1,
};

// Size of the buffer every caller formats its trace text into.
inline constexpr size_t PLR_TRACE_TEXT_SIZE = 1024;
// Size of one data log's write cache and the fill level that flushes it.
inline constexpr size_t PLR_LOG_CACHE_SIZE = 65536;
inline constexpr size_t PLR_LOG_CACHE_FLUSH = 64512;
// Bytes of time stamp before the data of a flight-controller record.
inline constexpr size_t PLR_LOG_FC_STAMP_LEN = 13;
inline constexpr size_t PLR_LOG_FC_DATA_MAX = 1024;

// Configuration.
void TRACE_LOG_LEVEL(uint32_t level);
void TRACE_LOG_METHOD(uint32_t method);
uint32_t TRACE_LOG_GETMETHOD();
void TRACE_LOG_ENABLE();
void TRACE_LOG_DISABLE();
void TRACE_FLYC_LOG_ENABLE();
void TRACE_FLYC_LOG_DISABLE();
void TRACE_LOG_CACHE_Enable();
void TRACE_LOG_CACHE_Disable();
void TRACE_LOG_SET_SD_STATUS(uint32_t status);
uint32_t TRACE_LOG_GET_SD_STATUS();
uint32_t TRACE_LOG_SD_STATUS();
void TRACE_LOG_SD_UPDATE(uint32_t status);
void TRACE_LOG_ForceStop(uint32_t on);

// Asks whether the clock was synchronised from the phone; time-stamped log
// names are used then. The camera settings context registers it.
void PLR_LOG_SetClockSyncQuery(bool (*query)());

// Writes one trace line "[HH:MM:SS.mmm][L] text\n" when `level` passes the filter.
void plr_trace_log(uint32_t level, const char* text);
// Formats into a cleared 1024-byte buffer and writes it with plr_trace_log.
void plr_trace_logf(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Trace with the "function(line=N):" prefix that most messages of the system carry.
#define PLR_TRACE(level, format, ...) \
    plr_trace_logf((level), "%s(line=%d):" format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Data logs.
int PLR_LOG_Write(uint32_t type, const void* data, uint32_t length);
int PLR_LOG_Stop(uint32_t type);
int plr_trace_log_stop();
void plr_flylog_mutex_lock();
void plr_flylog_mutex_unlock();

int plr_trace_log_sysInit(uint32_t type);
int plr_trace_log_sysDeinit(uint32_t type);
int plr_trace_log_getIndex(uint32_t type);
int plr_trace_log_getFileId(const char* path);
int plr_trace_log_setFileId(const char* path, int id);
int PLR_LOG_GenFilePrefix(char* buf, uint32_t size);

// Formats the trace line for `text` at the given time into `line` (at least
// PLR_TRACE_LINE_SIZE bytes); returns its length. Exposed for tests.
inline constexpr size_t PLR_TRACE_LINE_SIZE = 1044;
size_t plr_trace_format_line(char* line, uint32_t level, const char* text, long long epochSeconds,
                             long microseconds);
char plr_trace_level_letter(uint32_t level);

// Returns every switch, descriptor and cache to the state at program load
// (closing open files); lets tests start clean.
void plr_trace_log_reset();
