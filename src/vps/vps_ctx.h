// The camera core's single context record, g_vpsCtx, and the records of its
// channel plan: video-input instances and channels, and encoder channels with
// their optional RGA scaler.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "mov/frame_queue.h"
#include "mov/mm_pool.h"
#include "platform/media.h"

struct PlrTimer;

enum VpsMode : uint32_t {
    VPS_MODE_PHOTO = 0,
    VPS_MODE_RECORD = 1,
};

enum VpsStatus : uint32_t {
    VPS_STATUS_IDLE = 0,
    VPS_STATUS_TO_RECORD = 1,  // switching to record mode
    VPS_STATUS_TO_PHOTO = 2,   // switching to photo mode
};

// Card states; the phone is told them in the SD notifications.
enum VpsSdStatus : uint32_t {
    VPS_SD_OK = 0,        // mounted and usable
    VPS_SD_NONE = 1,      // no usable card
    VPS_SD_RW_ERROR = 2,  // not writable after mounting
    VPS_SD_FORMATTING = 4,
};

// Refusal codes handed to the phone when a start needs the card.
enum VpsSdError : int32_t {
    VPS_SD_ERR_UNUSABLE = 2,
    VPS_SD_ERR_FULL = 3,
};

inline constexpr uint32_t VPS_VI_INSTANCES = 2;
inline constexpr uint32_t VPS_VI_CHANNELS = 4;
inline constexpr size_t VPS_PATH_SIZE = 256;

struct VpsViChn {
    RkViChnAttr attr;
    uint32_t chn;
    uint32_t enabled;
};

struct VpsViInstance {
    uint32_t fecEnable;
    uint32_t sensorHeight;
    uint32_t sensorWidth;
    float frameRate;
    uint32_t wdrMode;
    uint32_t viPipe;
    VpsViChn chns[VPS_VI_CHANNELS];
    uint8_t camId;
    uint32_t enabled;
};

struct VpsVencChn {
    uint32_t resId;
    uint32_t height;
    uint32_t width;
    uint32_t pixFmt;
    uint32_t vencChn;
    RkChnAddr src;
    uint32_t srcFps;
    uint32_t dstFps;
    RkVencChnAttr vencAttr;
    uint32_t useRga;
    RkChnAddr rgaChn;
    RkRgaAttr rgaAttr;
    RkOutCbFunc outCb;
};

// Exposure settings of one mode: mode, ISO, shutter index, EV. Written on the
// event thread, read by the status tick and the photo writer.
struct VpsAeCfg {
    std::atomic<uint32_t> mode{0};
    std::atomic<uint32_t> iso{0};
    std::atomic<uint32_t> shutter{24};
    std::atomic<uint32_t> ev{0};
};

// A copy of one mode's exposure settings.
struct VpsAeInfo {
    uint32_t mode;
    uint32_t iso;
    uint32_t shutter;
    uint32_t ev;
};

// Fields are written on the camera event thread; those that other threads
// read (status ticks, stream threads, links) are atomic.
struct VpsCtx {
    std::atomic<uint32_t> vpsMode{VPS_MODE_PHOTO};
    std::atomic<uint32_t> vpsStatus{VPS_STATUS_IDLE};
    std::atomic<uint32_t> socTemp{0};  // 0.1 degrees Celsius

    VpsVencChn fpvVenc{};
    VpsVencChn recVenc{};
    VpsVencChn snapVenc{};
    VpsViInstance viInst[VPS_VI_INSTANCES]{};

    // Recording: the main file's and the live-view copy's recorders.
    MovCtx recMov;
    MovCtx fpvMov;
    std::atomic<uint32_t> recRunning{0};
    std::atomic<uint32_t> movFileId{1};

    // Still capture.
    std::atomic<uint32_t> snapBusy{0};
    std::atomic<uint32_t> snapRun{0};  // still capture running
    std::atomic<uint32_t> picFileId{1};
    std::atomic<uint32_t> snapSeqId{1};      // picture of the current HDR/burst/bracketing series
    std::atomic<uint32_t> panoFileId{1};     // set from outside for each panorama shot
    std::atomic<uint32_t> snapTlapseCnt{0};  // seconds to the next timed photo
    PlrTimer* snapTlapseTimer = nullptr;     // event thread only
    // The time prefix, capture directory and day directory of the current
    // capture: written when a capture starts (event or timer thread), read by
    // the picture writer on the stream thread.
    std::mutex snapPathLock;
    char snapTimePrefix[VPS_PATH_SIZE]{};
    char snapDir[VPS_PATH_SIZE]{};
    char snapDayDir[VPS_PATH_SIZE]{};

    // SD card.
    std::atomic<uint32_t> sdStatus{VPS_SD_NONE};
    std::atomic<uint32_t> sdTotalMB{0};
    std::atomic<uint32_t> sdFreeMB{0};

    // Exposure, white balance and image settings (0 = photo mode's, ...).
    VpsAeCfg recAe;
    VpsAeCfg snapAe;
    std::atomic<uint32_t> videoMode{0};
    std::atomic<uint8_t> recZoom{10};  // tenths
    std::atomic<uint32_t> snapMode{0};
    std::atomic<uint32_t> picFmt{0};
    uint8_t captureCount = 2;
    std::atomic<uint8_t> ctiShot{3};
    uint8_t bracketCount = 3;
    std::atomic<uint8_t> snapTlapse{3};
    std::atomic<uint32_t> panoMode{5};
    std::atomic<uint8_t> snapZoom{10};  // tenths
    std::atomic<int8_t> cctMode{1};
    std::atomic<uint16_t> cct{50};  // 100 K
    std::atomic<int8_t> dnMode{0};
    std::atomic<uint32_t> zoomPercent{100};

    // Media buffer pool.
    MM_POOL_CFG_S vbCfg{};
    std::atomic<uint32_t> vbReady{0};
};

extern VpsCtx g_vpsCtx;

struct VpsPicSize {
    uint32_t width;
    uint32_t height;
};

// Picture size of a resolution id: 0, or -1 (ids 9, 11 and above 20) leaving *size untouched.
int PLR_COMM_SYS_GetPicSize(uint32_t resId, VpsPicSize* size);

// Conversions between the program's, the platform's and the recorder's codes.
uint32_t PLR_VPS_ConvertRKProfile(uint32_t profile);
uint32_t PLR_VPS_ConvertRKProfile2(uint32_t rkProfile);
uint32_t PLR_VPS_ConvertRKCodec(int32_t rkCodec);
uint32_t PLR_VPS_ConvertRKPixelFmt(uint32_t pixFmt);

// The exposure settings of the current mode (record or photo).
VpsAeCfg& PLR_VPS_CurrentAe();
// Copies them: 0, or -1 for a null pointer.
int PLR_VPS_GetAECInfo(VpsAeInfo* info);
// Zoom of the current mode in tenths.
uint8_t PLR_VPS_CurrentZoom();
uint32_t PLR_VPS_GetVpsStatus();
// The record state: the main recorder's MOV_ST_* state.
uint32_t PLR_VPS_RecState();
// Movie file counter + 1; movie, photo and series counters back to 1.
int PLR_VPS_UpdateMovFileID();
int PLR_VPS_ResetFileID();
