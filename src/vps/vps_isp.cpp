#include "vps/vps_isp.h"

#include <array>
#include <atomic>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"

namespace {

struct IspCamera {
    std::atomic<rk_aiq_sys_ctx_t*> ctx{nullptr};
    uint32_t fecEnable = 0;
    uint32_t sensorHeight = 0;
    uint32_t sensorWidth = 0;
    float frameRate = 0;
    uint32_t wdrMode = 0;
};

std::array<IspCamera, PLR_ISP_CAMERAS> g_isp;

constexpr const char* kIqDirs[] = {"/oem/etc/iqfiles/", "/etc/iqfiles/"};

// The checks every wrapper makes before calling the library.
bool wrapper_args_ok(const char* wrapper, int line, uint32_t camId, const void* record,
                     const char* recordName) {
    if (camId >= PLR_ISP_CAMERAS) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Invalid sns id.", wrapper, line);
        return false;
    }
    if (record == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):null ptr %s.", wrapper, line, recordName);
        return false;
    }
    return true;
}

rk_aiq_sys_ctx_t* engine(uint32_t camId) {
    return g_isp[camId].ctx.load();
}

}  // namespace

int PLR_COMM_ISP_Init(uint32_t camId, const VpsViInstance* instance) {
    if (instance == nullptr || camId >= PLR_ISP_CAMERAS) {
        plr_trace_logf(PLR_LOG_E, "%s(%d): NULL value,return!!!", __func__, __LINE__);
        return -1;
    }
    IspCamera& cam = g_isp[camId];
    cam.fecEnable = instance->fecEnable;
    cam.sensorHeight = instance->sensorHeight;
    cam.sensorWidth = instance->sensorWidth;
    cam.frameRate = instance->frameRate;
    cam.wdrMode = instance->wdrMode;

    rk_aiq_static_info_t info{};
    if (rk_aiq_uapi_sysctl_enumStaticMetas(static_cast<int32_t>(camId), &info) != RK_AIQ_RET_OK) {
        plr_trace_logf(PLR_LOG_E, "%s(%d): enum %u Static Metas failed!!!", __func__, __LINE__,
                       camId);
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "Init ISP%u for %s W:%u H:%u WDR %u", camId,
                   info.sensorInfo.sensorName, cam.sensorWidth, cam.sensorHeight, cam.wdrMode);
    std::string iqDir;
    for (const char* dir : kIqDirs) {
        if (board_file_exists(dir)) {
            iqDir = board_path(dir);
            break;
        }
    }
    if (iqDir.empty()) {
        plr_trace_log(PLR_LOG_E, "IQ files not exist!");
        return -1;
    }
    rk_aiq_sys_ctx_t* ctx =
        rk_aiq_uapi_sysctl_init(info.sensorInfo.sensorName, iqDir.c_str(), nullptr, nullptr);
    if (ctx == nullptr) {
        plr_trace_log(PLR_LOG_E, "rk_aiq_uapi_sysctl_init failed!!");
        return -1;
    }
    cam.ctx.store(ctx);
    rk_aiq_uapi_setFecEn(ctx, cam.fecEnable != 0 ? 1 : 0);
    if (rk_aiq_uapi_sysctl_prepare(ctx, cam.sensorWidth, cam.sensorHeight, cam.wdrMode) !=
        RK_AIQ_RET_OK) {
        plr_trace_log(PLR_LOG_E, "rkaiq engine prepare failed !");
        return -1;
    }
    plr_trace_logf(PLR_LOG_D, "SNS %u ISP Init SUCCESSED.", camId);
    return 0;
}

int PLR_COMM_ISP_Run(uint32_t camId) {
    if (camId >= PLR_ISP_CAMERAS) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Invalid sns id.", __func__, __LINE__);
        return -1;
    }
    rk_aiq_sys_ctx_t* ctx = g_isp[camId].ctx.load();
    if (ctx == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):AiqCtx %u null.", __func__, __LINE__, camId);
        return -1;
    }
    if (rk_aiq_uapi_sysctl_start(ctx) != RK_AIQ_RET_OK) {
        plr_trace_log(PLR_LOG_E, "rk_aiq_uapi_sysctl_start failed!");
        return -1;
    }
    plr_trace_log(PLR_LOG_E, "PLR_COMM_ISP_StartEngine successed!");
    return 0;
}

int PLR_COMM_ISP_Stop(uint32_t camId) {
    if (camId >= PLR_ISP_CAMERAS) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Invalid sns id.", __func__, __LINE__);
        return -1;
    }
    if (rk_aiq_sys_ctx_t* ctx = g_isp[camId].ctx.exchange(nullptr); ctx != nullptr) {
        if (rk_aiq_uapi_sysctl_stop(ctx, 0) != RK_AIQ_RET_OK) {
            plr_trace_log(PLR_LOG_E, "rk_aiq_uapi_sysctl_stop failed!");
        } else {
            plr_trace_log(PLR_LOG_E, "PLR_COMM_ISP_StopEngine successed!");
        }
        rk_aiq_uapi_sysctl_deinit(ctx);
        plr_trace_log(PLR_LOG_E, "rk_aiq_uapi_sysctl_deinit successed!");
    }
    plr_trace_logf(PLR_LOG_D, "%s(%d):SNS %u ISP Stop OK.", __func__, __LINE__, camId);
    return 0;
}

int PLR_ISP_SYS_Exit() {
    PLR_COMM_ISP_Stop(0);
    PLR_COMM_ISP_Stop(1);
    plr_trace_log(PLR_LOG_D, "ISP SYS Exit OK.");
    return 0;
}

int PLR_ISP_SetFrameRate(uint32_t camId, float fps) {
    if (camId >= PLR_ISP_CAMERAS || fps <= 0) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Invalid sns id.", __func__, __LINE__);
        return -1;
    }
    rk_aiq_exp_sw_attr_t attr{};
    const int ret = rk_aiq_user_api_ae_getExpSwAttr(engine(camId), &attr);
    if (ret != RK_AIQ_RET_OK) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):Invalid sns id.", __func__, __LINE__);
        return ret;
    }
    attr.frameRate.isFpsFix = 1;
    attr.frameRate.fpsValue = fps;
    attr.maxExpTime.enable = 1;
    attr.maxExpTime.maxTime = 1.0f / fps;
    return rk_aiq_user_api_ae_setExpSwAttr(engine(camId), attr);
}

int PLR_COMM_ISP_GetExpSwAttr(uint32_t camId, rk_aiq_exp_sw_attr_t* pstExpSwAttr) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstExpSwAttr, "pstExpSwAttr")) return -1;
    return rk_aiq_user_api_ae_getExpSwAttr(engine(camId), pstExpSwAttr);
}

int PLR_COMM_ISP_SetExpSwAttr(uint32_t camId, rk_aiq_exp_sw_attr_t* pstExpSwAttr) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstExpSwAttr, "pstExpSwAttr")) return -1;
    return rk_aiq_user_api_ae_setExpSwAttr(engine(camId), *pstExpSwAttr);
}

int PLR_COMM_ISP_GetLinExpAttr(uint32_t camId, rk_aiq_lin_exp_attr_t* pstExpSwAttr) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstExpSwAttr, "pstExpSwAttr")) return -1;
    return rk_aiq_user_api_ae_getLinExpAttr(engine(camId), pstExpSwAttr);
}

int PLR_COMM_ISP_SetLinExpAttr(uint32_t camId, rk_aiq_lin_exp_attr_t* pstExpSwAttr) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstExpSwAttr, "pstExpSwAttr")) return -1;
    return rk_aiq_user_api_ae_setLinExpAttr(engine(camId), *pstExpSwAttr);
}

int PLR_COMM_ISP_DumpExpInfo(uint32_t camId, rk_aiq_exp_res_info_t* pstExpInfo) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstExpInfo, "pstExpInfo")) return -1;
    return rk_aiq_user_api_ae_queryExpResInfo(engine(camId), pstExpInfo);
}

int PLR_COMM_ISP_GetAwbAttr(uint32_t camId, rk_aiq_wb_attrib_t* pstAttrInfo) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstAttrInfo, "pstAttrInfo")) return -1;
    return rk_aiq_user_api_awb_GetAttrib(engine(camId), pstAttrInfo);
}

int PLR_COMM_ISP_SetAwbAttr(uint32_t camId, rk_aiq_wb_attrib_t* pstAttrInfo) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstAttrInfo, "pstAttrInfo")) return -1;
    return rk_aiq_user_api_awb_SetAttrib(engine(camId), *pstAttrInfo);
}

int PLR_COMM_ISP_DumpCCTInfo(uint32_t camId, rk_aiq_wb_cct_t* pstAttrInfo) {
    if (!wrapper_args_ok(__func__, __LINE__, camId, pstAttrInfo, "pstAttrInfo")) return -1;
    return rk_aiq_user_api_awb_GetCCT(engine(camId), pstAttrInfo);
}
