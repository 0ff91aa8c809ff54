// The platform's ISP control library: one engine per camera, created from
// the camera's sensor entity and IQ tuning directory, and the attribute
// groups of automatic exposure and white balance.
//
// Calls return RK_AIQ_RET_OK (0) or a negative RK_AIQ_RET_* code. Set
// operations take the attribute record by value; callers read a record,
// change the fields they own and write the whole record back.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t rk_aiq_ret_t;
enum {
    RK_AIQ_RET_OK = 0,
    RK_AIQ_RET_FAILED = -1,
    RK_AIQ_RET_PARAM = -2,  // null or out-of-range argument
    RK_AIQ_RET_STATE = -3,  // not allowed in the engine's state
};

// Engine context (opaque).
typedef struct rk_aiq_sys_ctx_s rk_aiq_sys_ctx_t;

// Working mode handed to the prepare step (the WDR mode of the camera).
typedef uint32_t rk_aiq_working_mode_t;
enum { RK_AIQ_WORKING_MODE_NORMAL = 0 };

// Operating mode of an algorithm.
typedef enum {
    RK_AIQ_OP_MODE_INVALID = 0,
    RK_AIQ_OP_MODE_AUTO = 1,
    RK_AIQ_OP_MODE_MANUAL = 2,
} rk_aiq_op_mode_t;

// ---- Static metadata -----------------------------------------------------------

enum { RK_AIQ_SENSOR_NAME_LEN = 64 };

typedef struct {
    char sensorName[RK_AIQ_SENSOR_NAME_LEN];  // sensor entity name for rk_aiq_uapi_sysctl_init
    uint32_t maxWidth;
    uint32_t maxHeight;
    float maxFps;
} rk_aiq_sensor_info_t;

typedef struct {
    rk_aiq_sensor_info_t sensorInfo;
    uint32_t cameraIndex;
} rk_aiq_static_info_t;

// ---- Exposure ------------------------------------------------------------------

enum { RK_AIQ_AE_GRID_ITEMS = 225 };  // 15 x 15 metering weights, row-major

typedef struct {
    uint8_t timeEn;   // 1: the manual exposure time applies
    uint8_t gainEn;   // 1: the manual gain applies
    float timeValue;  // seconds
    float gainValue;  // analogue gain, 1.0 = base sensitivity
} rk_aiq_ae_manual_t;

typedef struct {
    uint8_t isFpsFix;  // 1: the frame rate is fixed at fpsValue
    float fpsValue;
} rk_aiq_ae_frame_rate_t;

typedef struct {
    uint8_t enable;  // 1: exposure times are limited to maxTime
    float maxTime;   // seconds
} rk_aiq_ae_time_limit_t;

typedef struct {
    uint8_t weightOverride;  // 1: the weights below replace the tuned ones
    uint8_t weights[RK_AIQ_AE_GRID_ITEMS];
} rk_aiq_ae_grid_t;

// Exposure software attributes.
typedef struct {
    uint8_t enable;         // 1: the exposure engine runs; 0: exposure held as it is
    rk_aiq_op_mode_t mode;  // automatic or manual
    rk_aiq_ae_manual_t manual;
    rk_aiq_ae_frame_rate_t frameRate;
    rk_aiq_ae_time_limit_t maxExpTime;
    rk_aiq_ae_grid_t grid;
} rk_aiq_exp_sw_attr_t;

// Linear-exposure attributes (automatic mode).
typedef struct {
    float targetLuma;         // target luminance, default 34.0
    float nightTargetLuma;    // target luminance at night, default 25.0
    uint8_t dynamicTargetEn;  // 1: the target moves between the two with the scene
} rk_aiq_lin_exp_attr_t;

// Current exposure result.
typedef struct {
    float analogGain;
    float integrationTime;  // seconds
    float lumaDeviation;    // measured minus target luminance in EV thirds / 10
    float meanLuma;         // 0-255
    float fps;
    uint8_t isConverged;
} rk_aiq_exp_res_info_t;

// ---- White balance -------------------------------------------------------------

typedef enum {
    RK_AIQ_MWB_MODE_CCT = 1,  // manual by colour temperature
} rk_aiq_mwb_mode_t;

typedef struct {
    float cct;   // Kelvin
    float ccri;  // colour rendering offset
} rk_aiq_wb_cct_t;

typedef struct {
    rk_aiq_mwb_mode_t mode;
    rk_aiq_wb_cct_t cct;
} rk_aiq_wb_manual_t;

typedef struct {
    rk_aiq_op_mode_t mode;  // automatic or manual
    rk_aiq_wb_manual_t manual;
} rk_aiq_wb_attrib_t;

// ---- System control --------------------------------------------------------------

typedef void (*rk_aiq_error_cb)(int32_t error);
typedef void (*rk_aiq_metas_cb)(const void* metas);

rk_aiq_ret_t rk_aiq_uapi_sysctl_enumStaticMetas(int32_t index, rk_aiq_static_info_t* info);
// Creates the engine of the named sensor with the IQ files of iqDir; null on failure.
rk_aiq_sys_ctx_t* rk_aiq_uapi_sysctl_init(const char* sensorName, const char* iqDir,
                                          rk_aiq_error_cb errCb, rk_aiq_metas_cb metasCb);
void rk_aiq_uapi_sysctl_deinit(rk_aiq_sys_ctx_t* ctx);
rk_aiq_ret_t rk_aiq_uapi_sysctl_prepare(rk_aiq_sys_ctx_t* ctx, uint32_t width, uint32_t height,
                                        rk_aiq_working_mode_t mode);
rk_aiq_ret_t rk_aiq_uapi_sysctl_start(rk_aiq_sys_ctx_t* ctx);
rk_aiq_ret_t rk_aiq_uapi_sysctl_stop(rk_aiq_sys_ctx_t* ctx, uint8_t keepExtHwState);
rk_aiq_ret_t rk_aiq_uapi_setFecEn(rk_aiq_sys_ctx_t* ctx, uint8_t enable);

// ---- Exposure and white balance ----------------------------------------------------

rk_aiq_ret_t rk_aiq_user_api_ae_getExpSwAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_exp_sw_attr_t* attr);
rk_aiq_ret_t rk_aiq_user_api_ae_setExpSwAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_exp_sw_attr_t attr);
rk_aiq_ret_t rk_aiq_user_api_ae_getLinExpAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_lin_exp_attr_t* attr);
rk_aiq_ret_t rk_aiq_user_api_ae_setLinExpAttr(rk_aiq_sys_ctx_t* ctx, rk_aiq_lin_exp_attr_t attr);
rk_aiq_ret_t rk_aiq_user_api_ae_queryExpResInfo(rk_aiq_sys_ctx_t* ctx, rk_aiq_exp_res_info_t* info);
rk_aiq_ret_t rk_aiq_user_api_awb_GetAttrib(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_attrib_t* attr);
rk_aiq_ret_t rk_aiq_user_api_awb_SetAttrib(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_attrib_t attr);
rk_aiq_ret_t rk_aiq_user_api_awb_GetCCT(rk_aiq_sys_ctx_t* ctx, rk_aiq_wb_cct_t* cct);

#ifdef __cplusplus
}
#endif
