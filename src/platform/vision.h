// The vision library: target tracking and landing-pad detection on the
// camera's small image stream (VI channel 3, 640 x 360). The library takes its
// images itself; callers hand it the target box, a result record and a
// control block. Calls return 0 or a library error code; after codes 5 and 7
// the target box stays valid.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Coordinates of boxes are pixels of the 640 x 360 image stream.
enum {
    PLR_DETRACK_IMG_WIDTH = 640,
    PLR_DETRACK_IMG_HEIGHT = 360,
};

// Target box handed to PLR_DeTrack_Crtl: X, Y, W, H, mode byte, command D.
enum {
    PLR_DETRACK_BOX_X = 0,
    PLR_DETRACK_BOX_Y = 1,
    PLR_DETRACK_BOX_W = 2,
    PLR_DETRACK_BOX_H = 3,
    PLR_DETRACK_BOX_MODE = 4,
    PLR_DETRACK_BOX_CMD = 5,
    PLR_DETRACK_TARGET_WORDS = 6,
};

// Result record: up to 16 boxes of eight 32-bit words (x, y, w, h, word 4,
// word 5, two more); word 7 of the record (the last word of the first box)
// holds the box count.
enum {
    PLR_DETRACK_MAX_BOXES = 16,
    PLR_DETRACK_BOX_WORDS = 8,
    PLR_DETRACK_COUNT_WORD = 7,
};

typedef struct {
    uint32_t words[PLR_DETRACK_MAX_BOXES * PLR_DETRACK_BOX_WORDS];
} PlrDeTrackResult;

// Control block: command, first-frame mark, state, continuous mark.
typedef struct {
    uint8_t cmd;
    uint8_t firstFrame;
    uint8_t state;
    uint8_t continuous;
} PlrDeTrackCtrl;

// Error codes the library gives.
enum {
    PLR_DETRACK_ERR_NOT_INIT = 1,
    PLR_DETRACK_ERR_PARAM = 3,
    PLR_DETRACK_ERR_NO_IMAGE = 5,   // no current image; the target is kept
    PLR_DETRACK_ERR_LOST = 6,       // target lost
    PLR_DETRACK_ERR_NO_TARGET = 7,  // not tracking yet; the target is kept
};

// Prepares tracking and detection; called once after the image stream started.
int32_t PLR_DeTrack_Init(void);
// Processes the current image: command 0 with the first-frame mark (and
// without the continuous mark) starts tracking the given box, anything else
// follows the target. Fills the result
// and may update the control block's state.
int32_t PLR_DeTrack_Crtl(const uint32_t* targetBox, PlrDeTrackResult* result, PlrDeTrackCtrl* ctrl);
// With *stop 0: looks for the landing pad in the current image and fills the
// first box of the result; with *stop 1: ends the detection.
int32_t PLR_LandPad_Detrack(PlrDeTrackResult* result, uint8_t* stop);
int32_t PLR_DeTrack_DeInit(void);

#ifdef __cplusplus
}
#endif
