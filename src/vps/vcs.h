// The camera settings context: the control links' compact picture of the
// camera state, filled from the camera core's notifications and read by the
// command handlers without asking the core. Every 200 ms the whole state goes
// to the phone packed into the seven parameters of one command message.
#pragma once

#include <atomic>
#include <cstdint>

struct PlrTimer;

struct VcsCtx {
    std::atomic<uint32_t> vpsMode{0};  // 0 photo, 1 record
    std::atomic<uint32_t> resCode{1};  // phone resolution code
    std::atomic<uint32_t> reserved[2]{};
    std::atomic<uint32_t> aeMode{0};  // 0 automatic, 1 manual
    std::atomic<uint32_t> iso{0};
    std::atomic<uint32_t> shutter{24};
    std::atomic<int32_t> ev{0};
    std::atomic<uint32_t> snapMode{0};
    std::atomic<uint32_t> videoMode{0};
    std::atomic<uint32_t> attr2{0};
    std::atomic<uint32_t> picFmt{0};  // 0 JPEG, else raw
    std::atomic<uint8_t> attr4{0};
    std::atomic<uint8_t> ctiShot{0};
    std::atomic<uint8_t> attr6{0};
    std::atomic<uint8_t> snapTlapse{0};
    std::atomic<uint8_t> zoom{0};  // tenths
    std::atomic<uint32_t> panoMode{0};
    std::atomic<uint32_t> sdStatus{1};
    std::atomic<uint32_t> sdTotal{0};      // MiB
    std::atomic<uint32_t> sdFree{0};       // MiB
    std::atomic<uint32_t> tlapseState{0};  // 0 off, 1 paused, 2 running
    std::atomic<uint32_t> snapState{0};    // 1 while a photo time-lapse runs
    std::atomic<uint32_t> timeSync{0};     // 1 once the phone set the clock
    std::atomic<uint32_t> temperature{0};  // tenths of a degree Celsius
    std::atomic<uint32_t> cct{0};
    std::atomic<uint8_t> cctMode{0};
    std::atomic<uint8_t> dnMode{0};
    PlrTimer* statusTimer = nullptr;
};

extern VcsCtx g_vcsCtx;

// The seven parameters of the status message: words 0, 1, 4, 5 and 6 are bit
// fields whose bits travel unchanged in the float fields; 2 and 3 are floats.
struct VcsStatusParams {
    uint32_t bits1;
    uint32_t bits2;
    float sdTotal;
    float sdFree;
    uint32_t bits5;
    uint32_t bits6;
    uint32_t bits7;
};

// Sends one status message; the phone link connects it (the settings context
// sits below the links and cannot call them itself).
using VcsStatusSender = int (*)(const VcsStatusParams* params);
void PLR_VCS_SetStatusSender(VcsStatusSender sender);

struct VcsSdStatus {
    uint32_t status;
    uint32_t total;  // MiB
    uint32_t free;   // MiB
};

// Asks the camera for its configuration and card state and starts the 200 ms
// status report. 0.
int PLR_VCS_Init();
// Stops the status report (waits for a report in progress). 0.
int PLR_VCS_Deinit();

VcsCtx* PLR_VCS_GetVcsCtx();
uint32_t PLR_VCS_GetVpsMode();
uint32_t PLR_VCS_GetSnapMode();
uint32_t PLR_VCS_GetPicFmt();
uint32_t PLR_VCS_GetTimeSync();
VcsSdStatus PLR_VCS_GetSDStatus();

// -1 for a mode above 1, else 0.
int PLR_VCS_SetVpsMode(uint32_t mode);
int PLR_VCS_SetSDStatus(uint32_t status, uint32_t total, uint32_t free);
int PLR_VCS_SetAEMode(uint32_t mode);
// Attribute 0 ISO, 1 shutter, 2 EV.
int PLR_VCS_SetAEAttr(uint32_t attr, int32_t value);
int PLR_VCS_SetTimeSync(uint32_t flag);
// Resolution id and frame rate to the phone's resolution code; a pair without
// a code leaves it and logs. 0.
int PLR_VCS_SetRes(int32_t res, int32_t fps);
// Phone resolution code to resolution id and frame rate: 0, or -1 for an
// unknown code or null outputs.
int PLR_VCS_Res2SizeFrm(int32_t code, int32_t* res, int32_t* fps);
int PLR_VCS_AttrSetHandle(int32_t attr, int32_t value);
int PLR_VCS_CCTSetHandle(int32_t mode, int32_t value);
int PLR_VCS_DNModeSetHandle(int32_t mode);
// A status or configuration report item of the camera.
int PLR_VCS_VPSNotiHandle(int32_t item, int32_t ival1, int32_t ival2, const char* text);
int PLR_VCS_VPSTlapseHandle(int32_t sub, int32_t retCode, int32_t paused);
int PLR_VCS_VPSZoomHandle(uint8_t zoom);

// The status message's parameters for the current state.
VcsStatusParams PLR_VCS_PackStatus();
// The status timer's handler: packs and sends.
void PLR_VCS_SendStatus(void* arg);

// Returns the context to its initial state (timer stopped, sender kept). For tests.
void PLR_VCS_Reset();
