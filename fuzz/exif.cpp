// The photo metadata builder over arbitrary values: GPS position and altitude
// (from the flight controller), exposure settings and the local time (set
// from the phone's clock). Every block built must be the two APP1 segments
// whose lengths match the block, and the EXIF segment must load in libexif.
#include <libexif/exif-data.h>

#include <cstring>

#include "fuzz_harness.h"
#include "vps/vps_exif.h"

namespace {

template <typename T>
T take(const uint8_t*& data, size_t& size) {
    T v{};
    const size_t n = std::min(sizeof v, size);
    memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
}

uint32_t be16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    PlrExifInfo info{};
    info.exposureSeconds = take<float>(data, size);
    info.isoGain = take<float>(data, size);
    info.aeMode = take<uint32_t>(data, size);
    info.latitude = take<int32_t>(data, size);
    info.longitude = take<int32_t>(data, size);
    info.altitude = take<int32_t>(data, size);
    info.localTime.tm_year = take<int32_t>(data, size);
    info.localTime.tm_mon = take<int32_t>(data, size);
    info.localTime.tm_mday = take<int32_t>(data, size);
    info.localTime.tm_hour = take<int32_t>(data, size);
    info.localTime.tm_min = take<int32_t>(data, size);
    info.localTime.tm_sec = take<int32_t>(data, size);

    uint32_t length = 0;
    uint8_t* block = PLR_EXIF_BuildBlock(&info, &length);
    if (block == nullptr) {
        if (length != 0) abort();
        return 0;
    }
    // FF E1, EXIF length, EXIF data, FF E1, XMP length, XMP data.
    if (length < PLR_EXIF_BLOCK_EXTRA + 4 || block[0] != 0xFF || block[1] != 0xE1) abort();
    const uint32_t exifLen = be16(block + 2) - 2;
    if (exifLen + PLR_EXIF_BLOCK_EXTRA != length) abort();
    const uint8_t* xmp = block + 4 + exifLen;
    if (xmp[0] != 0xFF || xmp[1] != 0xE1 || be16(xmp + 2) != PLR_XMP_SEGMENT_LENGTH) abort();
    ExifData* parsed = exif_data_new_from_data(block + 4, exifLen);
    if (parsed == nullptr) abort();
    exif_data_unref(parsed);
    free(block);
    return 0;
}
