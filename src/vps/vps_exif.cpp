#include "vps/vps_exif.h"

#include <libexif/exif-data.h>
#include <libexif/exif-entry.h>
#include <libexif/exif-mem.h>
#include <libexif/exif-utils.h>
#include <sys/time.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "board/board.h"
#include "core/trace_log.h"
#include "state/drone_position.h"
#include "vps/vps_ae.h"
#include "vps/vps_ctx.h"

namespace {

constexpr const char* kOperation = "PLR_EXIF_XmpDataCreate";
constexpr const char* kCameraName = "Kavo Sparrow";
constexpr const char* kMake = "Pelora";
constexpr const char* kSoftware = "1.2.3";
constexpr uint8_t kExifVersion[4] = {'0', '2', '1', '0'};
constexpr size_t kDateTimeSize = 20;  // "YYYY:MM:DD HH:MM:SS" and the NUL
constexpr uint16_t kMeteringCentreWeighted = 2;
constexpr ExifRational kFocalLength = {35, 1};
constexpr ExifRational kFNumber = {220, 100};
constexpr uint32_t kSecondsScale = 1000000;
constexpr double kGpsScale = 10000000.0;

// The XMP segment's payload: the XMP namespace signature with its NUL, then
// the attitude packet without one.
constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";
constexpr char kXmpPacket[] = "<?xpacket id=888 Roll=1.0 Yaw=1.1 Pitch=1.2>";
constexpr size_t kXmpSignatureSize = sizeof kXmpSignature;  // 28 characters and the NUL
constexpr size_t kXmpPacketSize = sizeof kXmpPacket - 1;
static_assert(kXmpSignatureSize == 29);
static_assert(kXmpPacketSize == 44);
static_assert(2 + kXmpSignatureSize + kXmpPacketSize == PLR_XMP_SEGMENT_LENGTH);
static_assert(2 + 2 + 2 + PLR_XMP_SEGMENT_LENGTH == PLR_EXIF_BLOCK_EXTRA);
constexpr uint32_t kMaxSegment = 0xFFFF;

constexpr uint8_t kMarkerPrefix = 0xFF;
constexpr uint8_t kMarkerApp1 = 0xE1;

// The entry of `tag` in an IFD, created with the library's defaults when missing.
ExifEntry* init_tag(ExifData* exif, ExifIfd ifd, ExifTag tag) {
    ExifEntry* entry = exif_content_get_entry(exif->ifd[ifd], tag);
    if (entry != nullptr) return entry;
    entry = exif_entry_new();
    if (entry == nullptr) return nullptr;
    entry->tag = tag;
    exif_content_add_entry(exif->ifd[ifd], entry);
    const bool added = entry->parent != nullptr;
    if (added) exif_entry_initialize(entry, tag);
    exif_entry_unref(entry);  // the IFD holds it now
    return added && entry->data != nullptr ? entry : nullptr;
}

// A new entry of `tag` with `size` bytes of zeroed data added to an IFD; its
// component count is `size` until the caller sets it.
ExifEntry* create_tag(ExifData* exif, ExifIfd ifd, ExifTag tag, ExifFormat format, size_t size) {
    ExifMem* mem = exif_mem_new_default();
    if (mem == nullptr) return nullptr;
    ExifEntry* entry = exif_entry_new_mem(mem);
    void* data = entry != nullptr ? exif_mem_alloc(mem, static_cast<ExifLong>(size)) : nullptr;
    if (data == nullptr) {
        if (entry != nullptr) exif_entry_unref(entry);
        exif_mem_unref(mem);
        return nullptr;
    }
    entry->data = static_cast<unsigned char*>(data);
    entry->size = static_cast<unsigned int>(size);
    entry->tag = tag;
    entry->components = size;
    entry->format = format;
    exif_content_add_entry(exif->ifd[ifd], entry);
    const bool added = entry->parent != nullptr;
    exif_mem_unref(mem);
    exif_entry_unref(entry);  // the IFD holds it now, or it is gone
    return added ? entry : nullptr;
}

bool add_ascii(ExifData* exif, ExifIfd ifd, ExifTag tag, const char* text) {
    const size_t size = strlen(text) + 1;
    ExifEntry* entry = create_tag(exif, ifd, tag, EXIF_FORMAT_ASCII, size);
    if (entry == nullptr) return false;
    memcpy(entry->data, text, size);
    return true;
}

bool set_rational(ExifData* exif, ExifIfd ifd, ExifTag tag, ExifRational value) {
    ExifEntry* entry = init_tag(exif, ifd, tag);
    if (entry == nullptr || entry->format != EXIF_FORMAT_RATIONAL || entry->size < 8) return false;
    exif_set_rational(entry->data, exif_data_get_byte_order(exif), value);
    return true;
}

bool set_short(ExifData* exif, ExifIfd ifd, ExifTag tag, uint16_t value) {
    ExifEntry* entry = init_tag(exif, ifd, tag);
    if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->size < 2) return false;
    exif_set_short(entry->data, exif_data_get_byte_order(exif), value);
    return true;
}

// The ISO rating of a sensor gain for the 16-bit entry: 0 for a gain that is
// not a positive number, 65535 for one beyond the entry's range (converting
// such a float straight to an integer has no defined result).
uint16_t iso_rating(float gain) {
    const float iso = gain * 100.0F;
    if (!(iso > 0.0F)) return 0;
    if (iso >= 65535.0F) return 65535;
    return static_cast<uint16_t>(iso);
}

// Degrees, minutes and seconds of a coordinate in single precision; the
// seconds kept to the millionth.
std::array<ExifRational, 3> to_dms(float coordinate) {
    const float c = std::fabs(coordinate);
    const auto degrees = static_cast<uint32_t>(c);
    const float m = (c - static_cast<float>(degrees)) * 60.0F;
    const auto minutes = static_cast<uint32_t>(m);
    const float s = (m - static_cast<float>(minutes)) * 60.0F;
    const auto micro = static_cast<uint32_t>(s * static_cast<float>(kSecondsScale));
    return {{{degrees, 1}, {minutes, 1}, {micro, kSecondsScale}}};
}

bool add_coordinate(ExifData* exif, ExifTag refTag, const char* ref, ExifTag tag, float value) {
    if (!add_ascii(exif, EXIF_IFD_GPS, refTag, ref)) return false;
    ExifEntry* entry = create_tag(exif, EXIF_IFD_GPS, tag, EXIF_FORMAT_RATIONAL, 3 * 8);
    if (entry == nullptr) return false;
    entry->components = 3;
    const ExifByteOrder order = exif_data_get_byte_order(exif);
    const std::array<ExifRational, 3> dms = to_dms(value);
    for (size_t i = 0; i < dms.size(); ++i) exif_set_rational(entry->data + 8 * i, order, dms[i]);
    return true;
}

bool add_entries(ExifData* exif, const PlrExifInfo& info) {
    if (!add_ascii(exif, EXIF_IFD_0, EXIF_TAG_IMAGE_DESCRIPTION, kCameraName) ||
        !add_ascii(exif, EXIF_IFD_0, EXIF_TAG_MAKE, kMake) ||
        !add_ascii(exif, EXIF_IFD_0, EXIF_TAG_MODEL, kCameraName) ||
        !add_ascii(exif, EXIF_IFD_0, EXIF_TAG_ARTIST, kCameraName) ||
        !add_ascii(exif, EXIF_IFD_0, EXIF_TAG_SOFTWARE, kSoftware)) {
        return false;
    }
    ExifEntry* version = create_tag(exif, EXIF_IFD_EXIF, EXIF_TAG_EXIF_VERSION,
                                    EXIF_FORMAT_UNDEFINED, sizeof kExifVersion);
    if (version == nullptr) return false;
    memcpy(version->data, kExifVersion, sizeof kExifVersion);

    char when[kDateTimeSize] = {};
    strftime(when, sizeof when, "%Y:%m:%d %H:%M:%S", &info.localTime);
    if (!add_ascii(exif, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME, when) ||
        !add_ascii(exif, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, when)) {
        return false;
    }

    const PlrRational exposure = PLR_EXIF_ExposureRational(info.exposureSeconds);
    const uint16_t iso = iso_rating(info.isoGain);
    if (!set_rational(exif, EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_TIME, {exposure.num, exposure.den}) ||
        !set_short(exif, EXIF_IFD_EXIF, EXIF_TAG_ISO_SPEED_RATINGS, iso) ||
        !set_rational(exif, EXIF_IFD_EXIF, EXIF_TAG_FOCAL_LENGTH, kFocalLength) ||
        !set_rational(exif, EXIF_IFD_EXIF, EXIF_TAG_FNUMBER, kFNumber) ||
        !set_short(exif, EXIF_IFD_EXIF, EXIF_TAG_METERING_MODE, kMeteringCentreWeighted) ||
        !set_short(exif, EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_PROGRAM,
                   static_cast<uint16_t>(info.aeMode & 0xFFFFU))) {
        return false;
    }

    // The altitude is an unsigned rational: a reading below zero is written as 0.
    ExifEntry* altitude = create_tag(
        exif, EXIF_IFD_GPS, static_cast<ExifTag>(EXIF_TAG_GPS_ALTITUDE), EXIF_FORMAT_RATIONAL, 8);
    if (altitude == nullptr) return false;
    altitude->components = 1;
    const ExifRational altValue = {info.altitude > 0 ? static_cast<ExifLong>(info.altitude) : 0U,
                                   10};
    exif_set_rational(altitude->data, exif_data_get_byte_order(exif), altValue);

    plr_trace_logf(PLR_LOG_D, "gps pos %d %d %d", info.latitude, info.longitude, info.altitude);
    float lat = 0.0F;
    float lon = 0.0F;
    GPSConvert(&lat, &lon, info.latitude / kGpsScale, info.longitude / kGpsScale);
    return add_coordinate(exif, static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE_REF),
                          info.latitude < 0 ? "S" : "N",
                          static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE), lat) &&
           add_coordinate(exif, static_cast<ExifTag>(EXIF_TAG_GPS_LONGITUDE_REF),
                          info.longitude < 0 ? "W" : "E",
                          static_cast<ExifTag>(EXIF_TAG_GPS_LONGITUDE), lon);
}

void put_be16(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

// The two APP1 segments around the saved EXIF data; null when the data does
// not fit a segment or memory is short.
uint8_t* assemble(const uint8_t* exifData, uint32_t exifLen, uint32_t* lengthOut) {
    if (exifLen + 2 > kMaxSegment) return nullptr;
    const uint32_t total = exifLen + PLR_EXIF_BLOCK_EXTRA;
    auto* block = static_cast<uint8_t*>(malloc(total));
    if (block == nullptr) {
        plr_trace_log(PLR_LOG_D, "no enough memory!");
        return nullptr;
    }
    uint8_t* p = block;
    *p++ = kMarkerPrefix;
    *p++ = kMarkerApp1;
    put_be16(p, exifLen + 2);
    p += 2;
    memcpy(p, exifData, exifLen);
    p += exifLen;
    *p++ = kMarkerPrefix;
    *p++ = kMarkerApp1;
    put_be16(p, PLR_XMP_SEGMENT_LENGTH);
    p += 2;
    memcpy(p, kXmpSignature, kXmpSignatureSize);
    p += kXmpSignatureSize;
    memcpy(p, kXmpPacket, kXmpPacketSize);
    *lengthOut = total;
    plr_trace_logf(PLR_LOG_D, "exif data create ok, exif_len_out=%u.", total);
    return block;
}

}  // namespace

PlrRational PLR_EXIF_ExposureRational(float seconds) {
    if (!(seconds > 0.0F) || std::isinf(seconds)) return {0, 1};
    // Times whose terms would not fit 32 bits are saturated: converting such a
    // float to an integer has no defined result.
    constexpr float kMaxTerm = 4294967040.0F;  // the largest float below 2^32
    if (seconds >= kMaxTerm / 10.0F) return {UINT32_MAX, 1};
    if (1.0F / seconds >= kMaxTerm) return {1, UINT32_MAX};
    if (seconds < 1.0F) {
        const float n = 1.0F / seconds;
        const float whole = std::round(n);
        if (std::fabs(n - whole) <= n * 1e-4F) return {1, static_cast<uint32_t>(whole)};
    }
    // llround: the terms may exceed a 32-bit long.
    uint32_t num = static_cast<uint32_t>(std::llround(seconds * 10.0F));
    uint32_t den = 10;
    if (num == 0) return {1, static_cast<uint32_t>(std::llround(1.0F / seconds))};
    const uint32_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    return {num, den};
}

uint8_t* PLR_EXIF_BuildBlock(const PlrExifInfo* info, uint32_t* lengthOut) {
    if (info == nullptr || lengthOut == nullptr) return nullptr;
    *lengthOut = 0;
    ExifData* exif = exif_data_new();
    if (exif == nullptr) {
        plr_trace_log(PLR_LOG_E, "Out of memory!");
        return nullptr;
    }
    plr_trace_logf(PLR_LOG_D, "%s Exif start.....", kOperation);
    exif_data_set_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_data_type(exif, EXIF_DATA_TYPE_COMPRESSED);
    exif_data_set_byte_order(exif, EXIF_BYTE_ORDER_INTEL);

    uint8_t* block = nullptr;
    if (add_entries(exif, *info)) {
        unsigned char* saved = nullptr;
        unsigned int savedLen = 0;
        exif_data_save_data(exif, &saved, &savedLen);
        if (saved != nullptr && savedLen > 0) block = assemble(saved, savedLen, lengthOut);
        free(saved);
    }
    exif_data_unref(exif);
    if (block == nullptr) plr_trace_log(PLR_LOG_D, "exif data create fail!");
    plr_trace_logf(PLR_LOG_D, "%s Exif end.....", kOperation);
    return block;
}

uint8_t* PLR_EXIF_XmpDataCreate(uint32_t* lengthOut) {
    if (lengthOut == nullptr) return nullptr;
    VpsAeInfo ae{};
    PLR_VPS_GetAECInfo(&ae);
    PlrExifInfo info{};
    if (PLR_VPS_AE_SHR2Exptime(ae.shutter, &info.exposureSeconds) != 0) info.exposureSeconds = 0;
    if (PLR_VPS_AE_ISO2Gain(ae.iso, &info.isoGain) != 0) info.isoGain = 0;
    info.aeMode = ae.mode;
    info.latitude = MavlinkGetGPSLatitude();
    info.longitude = MavlinkGetGPSLongtitude();
    info.altitude = MavlinkGetGPSAltitude();
    struct timeval now {};
    board_clock_gettimeofday(&now);
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &info.localTime);
    return PLR_EXIF_BuildBlock(&info, lengthOut);
}
