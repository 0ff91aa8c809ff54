// The platform media layer: video-input channels on the ISP post-processor,
// hardware encoders, RGA scaler channels, binding and media buffers.
//
// Every call returns 0 for success; any other value is one of the RK_ERR_*
// codes below (callers log it in hexadecimal). Calls that hand out a buffer
// return a null handle instead. Every buffer taken from the layer is released
// exactly once with RK_MPI_MB_ReleaseBuffer; its data stays valid until then.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Codes -----------------------------------------------------------------

// Module ids of a channel address.
enum {
    RK_MOD_VENC = 4,  // encoder
    RK_MOD_VI = 9,    // video input
    RK_MOD_RGA = 17,  // RGA scaler
};

// Codecs of an encoder channel.
enum {
    RK_CODEC_H264 = 6,
    RK_CODEC_H265 = 7,
    RK_CODEC_JPEG = 8,
    RK_CODEC_MJPEG = 9,
};

// Image types of pictures.
enum {
    RK_IMAGE_NV12 = 4,
    // The ISP's alternative output format, used by the scaler nodes for
    // record sizes below 3840 x 2160; same plane layout as NV12 here.
    RK_IMAGE_ISP_ALT = 10,
};

// Rate-control modes.
enum {
    RK_RC_H264_CBR = 1,
    RK_RC_MJPEG_CBR = 4,
    RK_RC_H265_CBR = 6,
};

// GOP modes.
enum {
    RK_GOP_MODE_NORMAL = 0,  // the platform's default GOP structure
    RK_GOP_MODE_SMART = 2,
};

// H.264 profiles.
enum {
    RK_H264_PROFILE_BASELINE = 66,
    RK_H264_PROFILE_MAIN = 77,
    RK_H264_PROFILE_HIGH = 100,
};

// Receive-picture counts for RK_MPI_VENC_StartRecvFrame.
enum {
    RK_VENC_RECV_UNLIMITED = -1,
    RK_VENC_RECV_STOP = 0,
};

// Error codes.
enum {
    RK_SUCCESS = 0,
    RK_ERR_NULL_PTR = 0x0A010001,
    RK_ERR_INVALID_CHN = 0x0A010002,
    RK_ERR_ILLEGAL_PARAM = 0x0A010003,
    RK_ERR_EXIST = 0x0A010004,     // channel or binding already there
    RK_ERR_UNEXIST = 0x0A010005,   // channel or binding not there
    RK_ERR_NOT_PERM = 0x0A010006,  // not allowed in the channel's state
    RK_ERR_NOMEM = 0x0A010007,
    RK_ERR_BUSY = 0x0A010008,          // input queue full
    RK_ERR_SYS_NOTREADY = 0x0A010009,  // RK_MPI_SYS_Init not called
    RK_ERR_UNSUPPORT = 0x0A01000A,
};

// Largest channel numbers (exclusive).
enum {
    RK_VI_MAX_PIPE = 2,
    RK_VI_MAX_CHN = 4,
    RK_VENC_MAX_CHN = 16,
    RK_RGA_MAX_CHN = 16,
};

// ---- Records ---------------------------------------------------------------

// Channel address: module, device, channel. For video input the device is
// the VI pipe (camera); for encoders and RGA channels it is 0.
typedef struct {
    int32_t modId;
    int32_t devId;
    int32_t chnId;
} RkChnAddr;

// Video-input channel attributes. The node is one of the ISP post-processor
// nodes "rkispp_m_bypass", "rkispp_scale0", "rkispp_scale1", "rkispp_scale2".
typedef struct {
    const char* videoNode;
    uint32_t width;
    uint32_t height;
    int32_t imageType;  // RK_IMAGE_*
    uint32_t bufCnt;    // frames the channel can have in flight
    int32_t bufType;
    int32_t workMode;
} RkViChnAttr;

// Codec-specific part of the encoder attributes. For the JPEG encoder: the
// size of the output picture (0 = the picture size).
typedef struct {
    uint32_t outWidth;
    uint32_t outHeight;
    uint32_t outVirWidth;
    uint32_t outVirHeight;
} RkVencCodecAttr;

typedef struct {
    int32_t codec;       // RK_CODEC_*
    int32_t imageType;   // image type of the input, RK_IMAGE_*
    uint32_t virWidth;   // stride width
    uint32_t virHeight;  // stride height
    uint32_t profile;    // H.264: RK_H264_PROFILE_*
    uint32_t byFrame;    // left 0
    uint32_t picWidth;
    uint32_t picHeight;
    int32_t rotation;  // 0
    RkVencCodecAttr codecAttr;
} RkVencTypeAttr;

typedef struct {
    int32_t rcMode;  // RK_RC_* (ignored for the JPEG encoder)
    uint32_t gop;
    uint32_t srcFrameRateNum;
    uint32_t srcFrameRateDen;
    uint32_t dstFrameRateNum;
    uint32_t dstFrameRateDen;
    uint32_t bitRate;  // bits per second (constant bitrate)
} RkVencRcAttr;

typedef struct {
    int32_t gopMode;  // RK_GOP_MODE_*
    uint32_t gopSize;
    int32_t ipQpDelta;
    uint32_t bgInterval;
    int32_t viQpDelta;
} RkVencGopAttr;

typedef struct {
    RkVencTypeAttr vencAttr;
    RkVencRcAttr rcAttr;
    RkVencGopAttr gopAttr;
} RkVencChnAttr;

// Receive-picture parameter: -1 without limit, 0 stops the intake, n > 0
// encodes n more pictures and then stops.
typedef struct {
    int32_t recvPicNum;
} RkVencRecvPicParam;

// Encoder channel status.
typedef struct {
    uint32_t pendingPics;  // encoded pictures waiting to be taken
    int32_t leftRecvPics;  // pictures still to take in (-1 without limit)
    uint32_t droppedPics;  // input pictures lost since the channel was created
} RkVencChnStatus;

// Rate-control parameters of the video encoders (QP = quantisation parameter).
typedef struct {
    int32_t rowQpDeltaI;
    int32_t rowQpDeltaP;
    uint32_t firstFrameStartQp;
    uint32_t qpStep;
    uint32_t maxQp;
    uint32_t minQp;
    uint32_t maxIQp;
    uint32_t minIQp;
} RkVencRcParam;

// JPEG parameters: quality factor 1 (smallest) to 99 (best).
typedef struct {
    uint32_t qfactor;
} RkVencJpegParam;

// One picture of an RGA channel: image type, crop origin and size, strides.
// For the input the crop selects the part of the source picture to take.
typedef struct {
    int32_t imageType;
    uint32_t x;
    uint32_t y;
    uint32_t width;
    uint32_t height;
    uint32_t horStride;
    uint32_t virStride;
} RkRgaImage;

typedef struct {
    RkRgaImage imgIn;
    RkRgaImage imgOut;
    uint32_t rotation;       // 0
    uint32_t bufPoolEnable;  // 1
    uint32_t bufPoolCnt;     // output pictures the channel can have in flight
    int32_t flip;            // 0
} RkRgaAttr;

// Description of an image buffer.
typedef struct {
    uint32_t width;
    uint32_t height;
    uint32_t horStride;
    uint32_t verStride;
    int32_t imageType;
} RkMbImageInfo;

// Opaque media buffer handle owned by the layer.
typedef void* MEDIA_BUFFER;

// Output callback of a channel: receives each output buffer and must release it.
typedef void (*RkOutCbFunc)(MEDIA_BUFFER mb);

// ---- System, binding, buffers ------------------------------------------------

int32_t RK_MPI_SYS_Init(void);
// A bound source feeds its sink without further calls.
int32_t RK_MPI_SYS_Bind(const RkChnAddr* src, const RkChnAddr* dst);
int32_t RK_MPI_SYS_UnBind(const RkChnAddr* src, const RkChnAddr* dst);
// Output of the channel goes to the callback (on a thread of the layer)
// instead of the channel's buffer queue; null restores the queue.
int32_t RK_MPI_SYS_RegisterOutCb(const RkChnAddr* chn, RkOutCbFunc cb);
// Lets the output of a VI or RGA channel be taken with RK_MPI_SYS_GetMediaBuffer.
int32_t RK_MPI_SYS_StartGetMediaBuffer(int32_t modId, int32_t chnId);
// Takes the next output buffer of a channel (VI channels of pipe 0), waiting
// at most timeoutMs milliseconds (-1 without limit); null when none came.
MEDIA_BUFFER RK_MPI_SYS_GetMediaBuffer(int32_t modId, int32_t chnId, int32_t timeoutMs);
// Hands a picture to an encoder or RGA channel; the caller keeps its handle.
int32_t RK_MPI_SYS_SendMediaBuffer(int32_t modId, int32_t chnId, MEDIA_BUFFER mb);

// ---- Video input ---------------------------------------------------------------

int32_t RK_MPI_VI_SetChnAttr(int32_t pipe, int32_t chn, const RkViChnAttr* attr);
int32_t RK_MPI_VI_EnableChn(int32_t pipe, int32_t chn);
int32_t RK_MPI_VI_DisableChn(int32_t pipe, int32_t chn);
int32_t RK_MPI_VI_StartStream(int32_t pipe, int32_t chn);

// ---- Encoders ------------------------------------------------------------------

// A new channel takes pictures without limit until told otherwise.
int32_t RK_MPI_VENC_CreateChn(int32_t chn, const RkVencChnAttr* attr);
int32_t RK_MPI_VENC_DestroyChn(int32_t chn);
int32_t RK_MPI_VENC_StartRecvFrame(int32_t chn, const RkVencRecvPicParam* param);
// The next picture taken in is encoded as a key frame (H.264/H.265: SPS and
// PPS, then the IDR slice).
int32_t RK_MPI_VENC_RequestIDR(int32_t chn, int32_t instant);
// Descriptor that is readable while encoded output is pending; negative on error.
int32_t RK_MPI_VENC_GetFd(int32_t chn);
int32_t RK_MPI_VENC_QueryStatus(int32_t chn, RkVencChnStatus* status);
int32_t RK_MPI_VENC_SetJpegParam(int32_t chn, const RkVencJpegParam* param);
int32_t RK_MPI_VENC_GetRcParam(int32_t chn, RkVencRcParam* param);
int32_t RK_MPI_VENC_SetRcParam(int32_t chn, const RkVencRcParam* param);
int32_t RK_MPI_VENC_SetBitrate(int32_t chn, uint32_t bitrate, uint32_t minBitrate,
                               uint32_t maxBitrate);
int32_t RK_MPI_VENC_GetVencChnAttr(int32_t chn, RkVencChnAttr* attr);

// ---- RGA scaler ----------------------------------------------------------------

int32_t RK_MPI_RGA_CreateChn(int32_t chn, const RkRgaAttr* attr);
int32_t RK_MPI_RGA_DestroyChn(int32_t chn);
int32_t RK_MPI_RGA_GetChnAttr(int32_t chn, RkRgaAttr* attr);
// Takes effect on a running channel from its next picture.
int32_t RK_MPI_RGA_SetChnAttr(int32_t chn, const RkRgaAttr* attr);

// ---- Media buffers ---------------------------------------------------------------

// A new image buffer of the described size; null when no memory is left.
MEDIA_BUFFER RK_MPI_MB_CreateImageBuffer(const RkMbImageInfo* info, int32_t hardware,
                                         int32_t flags);
void* RK_MPI_MB_GetPtr(MEDIA_BUFFER mb);
size_t RK_MPI_MB_GetSize(MEDIA_BUFFER mb);
int32_t RK_MPI_MB_SetSize(MEDIA_BUFFER mb, size_t size);
int32_t RK_MPI_MB_GetFD(MEDIA_BUFFER mb);
int32_t RK_MPI_MB_GetModeID(MEDIA_BUFFER mb);
int32_t RK_MPI_MB_GetChannelID(MEDIA_BUFFER mb);
// Time stamp in microseconds.
uint64_t RK_MPI_MB_GetTimestamp(MEDIA_BUFFER mb);
int32_t RK_MPI_MB_SetTimestamp(MEDIA_BUFFER mb, uint64_t timestampUs);
int32_t RK_MPI_MB_ReleaseBuffer(MEDIA_BUFFER mb);

#ifdef __cplusplus
}
#endif
