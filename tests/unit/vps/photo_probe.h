// Reads photo metadata back for tests: the APP1 segments behind a JPEG's
// start-of-image marker and the EXIF entries the library finds in them.
#pragma once

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline uint32_t be16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

// One marker segment: marker byte, offset of its length field, length value.
struct JpegSegment {
    uint8_t marker;
    size_t offset;
    uint32_t length;
};

// The segments from just after the start-of-image marker up to the first
// that is not an APPn segment.
inline std::vector<JpegSegment> app_segments(const Bytes& jpeg) {
    std::vector<JpegSegment> segments;
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] >= 0xE0 &&
           jpeg[at + 1] <= 0xEF) {
        const uint32_t length = be16(&jpeg[at + 2]);
        segments.push_back({jpeg[at + 1], at + 2, length});
        at += 2 + length;
    }
    return segments;
}

// The EXIF data as stored, with every entry kept where it was written (the
// library would otherwise drop or repair entries that are unusual for an IFD).
struct ExifReader {
    explicit ExifReader(const uint8_t* data, size_t size) {
        exif = exif_data_new();
        exif_data_unset_option(exif, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
        exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
        exif_data_load_data(exif, data, static_cast<unsigned int>(size));
    }
    ~ExifReader() { exif_data_unref(exif); }
    ExifReader(const ExifReader&) = delete;
    ExifReader& operator=(const ExifReader&) = delete;

    ExifEntry* entry(ExifIfd ifd, uint32_t tag) const {
        return exif_content_get_entry(exif->ifd[ifd], static_cast<ExifTag>(tag));
    }
    std::string ascii(ExifIfd ifd, uint32_t tag) const {
        ExifEntry* e = entry(ifd, tag);
        if (e == nullptr || e->format != EXIF_FORMAT_ASCII || e->size == 0) return "<missing>";
        const auto* text = reinterpret_cast<const char*>(e->data);
        return std::string(text, strnlen(text, e->size));
    }
    // Component count of an entry, 0 when it is missing.
    unsigned long components(ExifIfd ifd, uint32_t tag) const {
        ExifEntry* e = entry(ifd, tag);
        return e == nullptr ? 0 : e->components;
    }
    std::vector<ExifRational> rationals(ExifIfd ifd, uint32_t tag) const {
        std::vector<ExifRational> out;
        ExifEntry* e = entry(ifd, tag);
        if (e == nullptr || e->format != EXIF_FORMAT_RATIONAL) return out;
        for (unsigned long i = 0; i < e->components; ++i)
            out.push_back(exif_get_rational(e->data + 8 * i, exif_data_get_byte_order(exif)));
        return out;
    }
    int shortValue(ExifIfd ifd, uint32_t tag) const {
        ExifEntry* e = entry(ifd, tag);
        if (e == nullptr || e->format != EXIF_FORMAT_SHORT) return -1;
        return exif_get_short(e->data, exif_data_get_byte_order(exif));
    }

    ExifData* exif = nullptr;
};

inline bool operator==(const ExifRational& a, const ExifRational& b) {
    return a.numerator == b.numerator && a.denominator == b.denominator;
}
inline void PrintTo(const ExifRational& r, std::ostream* os) {
    *os << r.numerator << "/" << r.denominator;
}
