// Photo metadata: the block of two APP1 segments (EXIF with camera, time,
// exposure and GPS entries, then a fixed XMP attitude packet) that the picture
// writer inserts directly behind a JPEG's start-of-image marker.
#pragma once

#include <cstdint>
#include <ctime>

// The values one photo's metadata carries.
struct PlrExifInfo {
    float exposureSeconds;  // exposure time of the shutter setting; 0 when unknown
    float isoGain;          // sensor gain of the ISO setting (1.0 is ISO 100)
    uint32_t aeMode;        // exposure mode value
    int32_t latitude;       // degrees * 1e7, negative to the south
    int32_t longitude;      // degrees * 1e7, negative to the west
    int32_t altitude;       // tenths of the flight controller's altitude unit
    struct tm localTime;    // when the photo was taken
};

// Length field of the XMP segment and the bytes the block holds beyond the
// EXIF data (two markers, two length fields and the XMP payload).
inline constexpr uint32_t PLR_XMP_SEGMENT_LENGTH = 75;
inline constexpr uint32_t PLR_EXIF_BLOCK_EXTRA = 81;

// Builds the block from the given values: a block allocated with malloc (the
// caller frees it with free) whose size goes to *lengthOut, or null when no
// block was built (*lengthOut is then 0).
uint8_t* PLR_EXIF_BuildBlock(const PlrExifInfo* info, uint32_t* lengthOut);

// Builds the block for a photo taken now: the exposure settings of the current
// mode, the last GPS position of the flight controller and the board's local time.
uint8_t* PLR_EXIF_XmpDataCreate(uint32_t* lengthOut);

// The exposure time in seconds as the rational written into the metadata:
// 1/N for the fractions of a second, tenths reduced otherwise.
struct PlrRational {
    uint32_t num;
    uint32_t den;
};
PlrRational PLR_EXIF_ExposureRational(float seconds);
