#include "mp4/mp4_index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/trace_log.h"
#include "mp4/mp4_box.h"

// Recordings pass 4 GiB: the opens, sizes and seeks here need 64-bit file offsets, also on
// the 32-bit board (_FILE_OFFSET_BITS=64 is set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace {

// The four characters of a type for log lines (non-printable shown as '?').
struct TypeText {
    char s[5];
};
TypeText type_text(uint32_t type) {
    TypeText t{};
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>(type >> (24 - 8 * i));
        t.s[i] = c >= 0x20 && c < 0x7f ? c : '?';
    }
    return t;
}

constexpr uint32_t kVideoHandler = mp4_fourcc("vide");
constexpr size_t kVisualEntryFixed = 78;  // visual sample entry after its 8-byte header
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

long read_fd(void* opaque, uint64_t offset, uint8_t* buf, size_t len) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(opaque));
    size_t done = 0;
    while (done < len) {
        const ssize_t n = pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

long read_memory(void* opaque, uint64_t offset, uint8_t* buf, size_t len) {
    const auto* bytes = static_cast<const std::vector<uint8_t>*>(opaque);
    if (offset >= bytes->size()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, bytes->size() - offset));
    memcpy(buf, bytes->data() + offset, n);
    return static_cast<long>(n);
}

// Reads exactly `len` bytes; false on a short read or an error.
bool read_exact(const MovSource* src, uint64_t offset, uint8_t* buf, size_t len) {
    return src->read_at(src->opaque, offset, buf, len) == static_cast<long>(len);
}

bool top_level_skippable(uint32_t type) {
    for (const uint32_t t :
         {mp4_fourcc("free"), mp4_fourcc("junk"), mp4_fourcc("pnot"), mp4_fourcc("skip"),
          mp4_fourcc("wide"), mp4_fourcc("PICT"), mp4_fourcc("uuid")}) {
        if (type == t) return true;
    }
    return false;
}

// A full-box table: version/flags, entry count, entries of `esize` bytes.
// Recorded only when the count fits the payload.
bool read_table(const char* name, const uint8_t* p, uint64_t size, size_t esize, MdiaTable* t) {
    if (size < 8) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) %s atom too small: %llu", __func__, __LINE__, name,
                       static_cast<unsigned long long>(size));
        return false;
    }
    const uint32_t count = mp4_be32(p + 4);
    if (static_cast<uint64_t>(count) * esize > size - 8) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) %s table truncated: %u entries in %llu bytes",
                       __func__, __LINE__, name, count, static_cast<unsigned long long>(size - 8));
        return false;
    }
    t->entries = p + 8;
    t->count = count;
    t->present = true;
    plr_trace_logf(PLR_LOG_I, "%s params:%10llu %2u", name, static_cast<unsigned long long>(size),
                   count);
    return true;
}

bool read_stsz(const uint8_t* p, uint64_t size, MdiaContext* ctx) {
    if (size < 12) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) stsz atom too small: %llu", __func__, __LINE__,
                       static_cast<unsigned long long>(size));
        return false;
    }
    const uint32_t sampleSize = mp4_be32(p + 4);
    const uint32_t count = mp4_be32(p + 8);
    if (sampleSize == 0 && static_cast<uint64_t>(count) * 4 > size - 12) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) stsz table truncated: %u samples in %llu bytes",
                       __func__, __LINE__, count, static_cast<unsigned long long>(size - 12));
        return false;
    }
    ctx->sample_size = sampleSize;
    ctx->sample_count = count;
    ctx->stsz.entries = p + 12;
    ctx->stsz.count = sampleSize == 0 ? count : 0;
    ctx->stsz.present = true;
    plr_trace_logf(PLR_LOG_I, "stsz params:%10llu %2u  %2u", static_cast<unsigned long long>(size),
                   sampleSize, count);
    return true;
}

bool read_mdhd(const uint8_t* p, uint64_t size, MdiaContext* ctx) {
    const uint8_t version = size > 0 ? p[0] : 0;
    if (version == 1 && size >= 36) {
        ctx->time_scale = mp4_be32(p + 20);
        ctx->duration = mp4_be64(p + 24);
    } else if (version == 0 && size >= 24) {
        ctx->time_scale = mp4_be32(p + 12);
        ctx->duration = mp4_be32(p + 16);
    } else {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) bad mdhd atom: version %u, %llu bytes", __func__,
                       __LINE__, version, static_cast<unsigned long long>(size));
        return false;
    }
    ctx->have_mdhd = true;
    return true;
}

// The avcC record: the NAL length size and the first SPS and PPS.
bool read_avcc(const uint8_t* p, uint64_t size, MdiaContext* ctx) {
    if (size < 7 || p[0] != 1) return false;
    ctx->profile = p[1];
    ctx->level = p[3];
    ctx->nal_length_size = static_cast<uint8_t>((p[4] & 3) + 1);
    uint64_t pos = 5;
    std::vector<uint8_t>* sets[2] = {&ctx->sps, &ctx->pps};
    for (int kind = 0; kind < 2; ++kind) {
        if (pos >= size) return false;
        const uint32_t n = kind == 0 ? (p[pos] & 0x1fu) : p[pos];
        ++pos;
        if (n == 0) return false;
        for (uint32_t i = 0; i < n; ++i) {
            if (size - pos < 2) return false;
            const uint16_t len = mp4_be16(p + pos);
            pos += 2;
            if (len == 0 || size - pos < len) return false;
            if (i == 0) sets[kind]->assign(p + pos, p + pos + len);
            pos += len;
        }
    }
    ctx->have_avcc = true;
    return true;
}

// The sample description: the first entry; for an H.264 entry its size and
// the avcC record among its child atoms.
bool read_stsd(const uint8_t* p, uint64_t size, MdiaContext* ctx) {
    if (size < 16 || mp4_be32(p + 4) == 0) return false;
    const uint8_t* entry = p + 8;
    const uint64_t left = size - 8;
    const uint64_t entrySize = mp4_be32(entry);
    if (entrySize < 8 || entrySize > left) return false;
    ctx->format = mp4_be32(entry + 4);
    if (ctx->format != mp4_fourcc("avc1") && ctx->format != mp4_fourcc("avc3")) return true;
    if (entrySize < 8 + kVisualEntryFixed) return false;
    ctx->width = mp4_be16(entry + 8 + 24);
    ctx->height = mp4_be16(entry + 8 + 26);
    const uint8_t* child = entry + 8 + kVisualEntryFixed;
    uint64_t rest = entrySize - 8 - kVisualEntryFixed;
    while (rest >= 8) {
        const uint64_t childSize = mp4_be32(child);
        if (childSize < 8 || childSize > rest) return false;
        if (mp4_be32(child + 4) == mp4_fourcc("avcC"))
            return read_avcc(child + 8, childSize - 8, ctx);
        child += childSize;
        rest -= childSize;
    }
    return true;
}

uint32_t stsc_first(const MdiaContext* ctx, uint32_t e) {
    return mp4_be32(ctx->stsc.entries + 12ull * e);
}
uint32_t stsc_spc(const MdiaContext* ctx, uint32_t e) {
    return mp4_be32(ctx->stsc.entries + 12ull * e + 4);
}
uint64_t chunk_offset(const MdiaContext* ctx, uint32_t chunk) {
    return ctx->co64 ? mp4_be64(ctx->stco.entries + 8ull * chunk)
                     : mp4_be32(ctx->stco.entries + 4ull * chunk);
}
uint32_t sample_bytes(const MdiaContext* ctx, uint32_t sample) {
    return ctx->sample_size != 0 ? ctx->sample_size : mp4_be32(ctx->stsz.entries + 4ull * sample);
}
// First chunk (1-based) after the run of entry `e`.
uint64_t stsc_run_end(const MdiaContext* ctx, uint32_t e) {
    return e + 1 < ctx->stsc.count ? stsc_first(ctx, e + 1) : uint64_t{ctx->stco.count} + 1;
}

__attribute__((format(printf, 1, 2))) int index_fail(const char* format, ...) {
    char text[PLR_TRACE_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    plr_trace_logf(PLR_LOG_E, "mdia_build_index: %s", text);
    return -1;
}

}  // namespace

bool mov_top_level_box_known(const uint8_t* type) {
    const uint32_t t = mp4_be32(type);
    return t == mp4_fourcc("ftyp") || t == mp4_fourcc("moov") || t == mp4_fourcc("mdat") ||
           top_level_skippable(t);
}

int mov_source_fd(int fd, MovSource* src) {
    struct stat st {};
    if (src == nullptr || fd < 0 || fstat(fd, &st) != 0) return -1;
    src->read_at = read_fd;
    src->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
    src->size = static_cast<uint64_t>(st.st_size);
    return 0;
}

void mov_source_memory(const std::vector<uint8_t>* bytes, MovSource* src) {
    src->read_at = read_memory;
    src->opaque = const_cast<std::vector<uint8_t>*>(bytes);
    src->size = bytes->size();
}

int mov_get_header_atom(const MovSource* src, MovHeader* hdr) {
    if (src == nullptr || hdr == nullptr) return -1;
    *hdr = MovHeader{};
    uint64_t pos = 0;
    const Mp4ReadAt read = [src](uint64_t offset, uint8_t* out, size_t size) {
        return read_exact(src, offset, out, size);
    };
    // Every atom moves `pos` on by at least 8 bytes, so the walk ends.
    while (src->size - pos >= 8) {
        Mp4BoxHeader box;
        if (mp4_read_box_header(read, pos, src->size, &box) != MP4_BOX_OK) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d)Read data ERROR!!!", __func__, __LINE__);
            return -1;
        }
        const uint64_t size = box.size;
        const uint32_t type = box.type_code();
        const uint64_t headLen = box.header;
        const TypeText tt = type_text(type);
        if (size < headLen) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) atom %s size %llu too small", __func__, __LINE__,
                           tt.s, static_cast<unsigned long long>(size));
            return -1;
        }
        if (size > src->size - pos) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) atom %s size %llu past the end of the file",
                           __func__, __LINE__, tt.s, static_cast<unsigned long long>(size));
            return -1;
        }
        if (type == mp4_fourcc("mdat")) {
            if (!hdr->have_mdat) {
                hdr->mdat_pos = pos;
                hdr->mdat_size = size;
                hdr->have_mdat = true;
            }
        } else if (type == mp4_fourcc("moov")) {
            if (size <= 15) {
                plr_trace_logf(PLR_LOG_E, "%s(line:%d) bad moov atom size", __func__, __LINE__);
                return -1;
            }
            if (size > MOV_MOOV_MAX) {
                plr_trace_logf(PLR_LOG_E, "%s(line:%d) moov atom size %llu too big", __func__,
                               __LINE__, static_cast<unsigned long long>(size));
                return -1;
            }
            if (!hdr->have_moov) {
                hdr->moov.resize(static_cast<size_t>(size));
                if (!read_exact(src, pos, hdr->moov.data(), hdr->moov.size())) {
                    plr_trace_logf(PLR_LOG_E, "%s(line:%d)Read data ERROR!!!", __func__, __LINE__);
                    return -1;
                }
                if (size >= 16 && mp4_be32(hdr->moov.data() + 12) == mp4_fourcc("cmov")) {
                    plr_trace_logf(PLR_LOG_E,
                                   "%s(line:%d) this utility does not support compressed moov "
                                   "atoms yet",
                                   __func__, __LINE__);
                    return -1;
                }
                hdr->moov_pos = pos;
                hdr->moov_size = size;
                hdr->have_moov = true;
            }
        } else if (type == mp4_fourcc("ftyp")) {
            hdr->ftyp_pos = pos;
            hdr->ftyp_size = size;
            hdr->have_ftyp = true;
        } else if (!top_level_skippable(type)) {
            plr_trace_logf(PLR_LOG_E,
                           "%s(line:%d) encountered non-QT top-level atom (is this a QuickTime "
                           "file?)",
                           __func__, __LINE__);
            return -1;
        }
        plr_trace_logf(PLR_LOG_I, "%s atom:%10llu %llu", tt.s, static_cast<unsigned long long>(pos),
                       static_cast<unsigned long long>(size));
        pos += size;
    }
    if (!hdr->have_moov || !hdr->have_mdat) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) no %s atom in the file", __func__, __LINE__,
                       hdr->have_moov ? "mdat" : "moov");
        return -1;
    }
    return 0;
}

int mdia_alloc_context(MdiaContext** out) {
    if (out == nullptr) return -1;
    *out = new MdiaContext();
    return 0;
}

int mdia_free_context(MdiaContext* ctx) {
    if (ctx == nullptr) return -1;
    delete ctx;
    return 0;
}

int mov_parse_atoms(const uint8_t* buf, uint64_t len, MovAtomCallback callback, void* opaque) {
    if (buf == nullptr || callback == nullptr) return -1;
    uint64_t pos = 0;
    while (len - pos > 7) {
        uint64_t size = mp4_be32(buf + pos);
        const uint32_t type = mp4_be32(buf + pos + 4);
        uint64_t headLen = 8;
        if (size == 1) {
            if (len - pos < 16) {
                plr_trace_logf(PLR_LOG_E, "%s(line:%d) not enough room for 64 bit atom size",
                               __func__, __LINE__);
                return -1;
            }
            size = mp4_be64(buf + pos + 8);
            headLen = 16;
        }
        if (size < headLen) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) atom size %llu too small", __func__, __LINE__,
                           static_cast<unsigned long long>(size));
            return -1;
        }
        if (size > len - pos) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) atom size %llu too big", __func__, __LINE__,
                           static_cast<unsigned long long>(size));
            return -1;
        }
        if (callback(opaque, type, buf + pos + headLen, size - headLen) < 0) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) process %s failed", __func__, __LINE__,
                           type_text(type).s);
        }
        pos += size;
    }
    return 0;
}

int mdia_parse_callback(void* opaque, uint32_t type, const uint8_t* p, uint64_t size) {
    auto* ctx = static_cast<MdiaContext*>(opaque);
    if (ctx == nullptr) return -1;
    const bool video = ctx->handler == kVideoHandler;
    if (type == mp4_fourcc("moov") || type == mp4_fourcc("trak") || type == mp4_fourcc("mdia") ||
        type == mp4_fourcc("minf") || type == mp4_fourcc("stbl")) {
        if (type == mp4_fourcc("trak")) {
            if (ctx->track_done) return 0;  // the first video track is the one played
            ctx->handler = 0;
        }
        if (ctx->depth + 1 > MOV_MAX_DEPTH) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) atoms too deeply nested :%u", __func__, __LINE__,
                           ctx->depth + 1);
            return -1;
        }
        ++ctx->depth;
        const int rc = mov_parse_atoms(p, size, mdia_parse_callback, ctx);
        --ctx->depth;
        if (type == mp4_fourcc("trak") && ctx->handler == kVideoHandler) ctx->track_done = true;
        return rc;
    }
    bool ok = true;
    if (type == mp4_fourcc("hdlr")) {
        // The media handler comes first; a data handler in minf does not count.
        if (size < 12) return -1;
        if (ctx->handler == 0) ctx->handler = mp4_be32(p + 8);
    } else if (type == mp4_fourcc("mdhd")) {
        // It precedes the handler: read for every track, the video track's stays.
        ok = read_mdhd(p, size, ctx);
    } else if (!video) {
        return 0;  // tables of other tracks are not needed
    } else if (type == mp4_fourcc("stsd")) {
        ok = read_stsd(p, size, ctx);
    } else if (type == mp4_fourcc("stts")) {
        ok = read_table("stts", p, size, 8, &ctx->stts);
    } else if (type == mp4_fourcc("stsc")) {
        ok = read_table("stsc", p, size, 12, &ctx->stsc);
    } else if (type == mp4_fourcc("stco") || type == mp4_fourcc("co64")) {
        ctx->co64 = type == mp4_fourcc("co64");
        ok = read_table(ctx->co64 ? "co64" : "stco", p, size, ctx->co64 ? 8 : 4, &ctx->stco);
    } else if (type == mp4_fourcc("stss")) {
        ok = read_table("stss", p, size, 4, &ctx->stss);
    } else if (type == mp4_fourcc("stsz")) {
        ok = read_stsz(p, size, ctx);
    }
    if (!ok) ctx->bad = true;
    return ok ? 0 : -1;
}

int mdia_build_index(const MovHeader* hdr, MdiaContext* ctx) {
    if (hdr == nullptr || ctx == nullptr || !hdr->have_moov || hdr->moov.size() < 8) return -1;
    // The moov atom's own header: 16 bytes with a 64-bit size, else 8.
    const size_t headLen = mp4_be32(hdr->moov.data()) == 1 ? 16 : 8;
    if (hdr->moov.size() < headLen ||
        mov_parse_atoms(hdr->moov.data() + headLen, hdr->moov.size() - headLen, mdia_parse_callback,
                        ctx) != 0) {
        return index_fail("malformed movie header");
    }
    if (ctx->bad) return index_fail("a sample table of the video track is malformed");
    if (!ctx->track_done) return index_fail("no video track");
    if (!ctx->have_mdhd || ctx->time_scale == 0) return index_fail("no media time scale");
    if (!ctx->have_avcc) return index_fail("no avcC configuration (not H.264?)");
    if (ctx->nal_length_size != 4) {
        return index_fail("NAL length size %u not supported", ctx->nal_length_size);
    }
    if (!ctx->stsz.present || ctx->sample_count == 0) return index_fail("no samples");
    if (!ctx->stco.present || ctx->stco.count == 0) return index_fail("no chunk offsets");
    if (!ctx->stts.present) return index_fail("no time-to-sample table");
    if (!ctx->stsc.present || ctx->stsc.count == 0) return index_fail("no sample-to-chunk table");
    // Chunk runs must start at chunk 1, rise, stay inside the chunk table,
    // hold at least one sample per chunk and cover every sample.
    uint64_t covered = 0;
    for (uint32_t e = 0; e < ctx->stsc.count; ++e) {
        const uint32_t first = stsc_first(ctx, e);
        const uint64_t end = stsc_run_end(ctx, e);
        if ((e == 0 && first != 1) || first == 0 || end <= first || first > ctx->stco.count ||
            end > uint64_t{ctx->stco.count} + 1 || stsc_spc(ctx, e) == 0) {
            return index_fail("sample-to-chunk entry %u is inconsistent", e + 1);
        }
        covered += (end - first) * stsc_spc(ctx, e);
    }
    if (covered < ctx->sample_count) {
        return index_fail("chunks hold %llu samples, the track has %u",
                          static_cast<unsigned long long>(covered), ctx->sample_count);
    }
    return 0;
}

uint32_t mdia_sample_at(const MdiaContext* ctx, uint32_t pos_ms) {
    const uint64_t t = static_cast<uint64_t>(pos_ms) * ctx->time_scale / 1000;
    uint64_t time = 0;
    uint64_t sample = 0;
    uint64_t found = UINT64_MAX;
    for (uint32_t e = 0; e < ctx->stts.count; ++e) {
        const uint32_t count = mp4_be32(ctx->stts.entries + 8ull * e);
        const uint32_t delta = mp4_be32(ctx->stts.entries + 8ull * e + 4);
        const uint64_t span = static_cast<uint64_t>(count) * delta;
        if (t < time + span) {
            found = sample + (t - time) / delta;  // span > 0, so delta > 0
            break;
        }
        time += span;
        sample += count;
    }
    const uint64_t last = ctx->sample_count > 0 ? ctx->sample_count - 1 : 0;
    const uint64_t s = found < last ? found : last;
    plr_trace_logf(PLR_LOG_I, "stts sample %5llu for %u ms", static_cast<unsigned long long>(s),
                   pos_ms);
    return static_cast<uint32_t>(s);
}

int64_t mdia_sync_sample(const MdiaContext* ctx, uint32_t sample) {
    if (!ctx->stss.present) return sample;
    if (ctx->stss.count == 0) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) the track has no sync sample", __func__, __LINE__);
        return -1;
    }
    // The last entry not after the sample (numbers in the table count from 1).
    const uint64_t want = uint64_t{sample} + 1;
    uint32_t lo = 0;
    uint32_t hi = ctx->stss.count;
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (mp4_be32(ctx->stss.entries + 4ull * mid) <= want) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const uint32_t sync = mp4_be32(ctx->stss.entries + 4ull * lo);
    if (sync == 0 || sync > ctx->sample_count) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) sync sample %u outside the track of %u samples",
                       __func__, __LINE__, sync, ctx->sample_count);
        return -1;
    }
    plr_trace_logf(PLR_LOG_I, "stss get sample %5u", sync - 1);
    return sync - 1;
}

int mdia_cursor_seek(const MdiaContext* ctx, uint32_t sample, MdiaCursor* cur) {
    if (ctx == nullptr || cur == nullptr || sample >= ctx->sample_count) return -1;
    uint64_t rest = sample;
    for (uint32_t e = 0; e < ctx->stsc.count; ++e) {
        const uint64_t spc = stsc_spc(ctx, e);
        const uint64_t first = stsc_first(ctx, e);
        const uint64_t run = (stsc_run_end(ctx, e) - first) * spc;
        if (rest < run) {
            cur->sample = sample;
            cur->chunk = static_cast<uint32_t>(first - 1 + rest / spc);
            cur->in_chunk = static_cast<uint32_t>(rest % spc);
            cur->stsc_entry = e;
            uint64_t offset = chunk_offset(ctx, cur->chunk);
            for (uint32_t s = sample - cur->in_chunk; s < sample; ++s)
                offset += sample_bytes(ctx, s);
            cur->offset = offset;
            cur->size = sample_bytes(ctx, sample);
            return 0;
        }
        rest -= run;
    }
    plr_trace_logf(PLR_LOG_E, "%s(line:%d) sample %u beyond the chunk table", __func__, __LINE__,
                   sample);
    return -1;
}

int mdia_cursor_next(const MdiaContext* ctx, MdiaCursor* cur) {
    if (ctx == nullptr || cur == nullptr) return -1;
    if (uint64_t{cur->sample} + 1 >= ctx->sample_count) return 0;
    if (cur->in_chunk + 1 < stsc_spc(ctx, cur->stsc_entry)) {
        cur->offset += cur->size;
        ++cur->in_chunk;
    } else {
        ++cur->chunk;
        cur->in_chunk = 0;
        if (cur->stsc_entry + 1 < ctx->stsc.count &&
            uint64_t{cur->chunk} + 1 >= stsc_first(ctx, cur->stsc_entry + 1)) {
            ++cur->stsc_entry;
        }
        if (cur->chunk >= ctx->stco.count) return -1;
        cur->offset = chunk_offset(ctx, cur->chunk);
    }
    ++cur->sample;
    cur->size = sample_bytes(ctx, cur->sample);
    return 1;
}

int64_t mdia_get_offset(uint32_t pos_ms, const MdiaContext* ctx, MdiaCursor* cur) {
    if (ctx == nullptr || cur == nullptr || ctx->sample_count == 0) return -1;
    const int64_t sync = mdia_sync_sample(ctx, mdia_sample_at(ctx, pos_ms));
    if (sync < 0 || mdia_cursor_seek(ctx, static_cast<uint32_t>(sync), cur) != 0) return -1;
    return static_cast<int64_t>(cur->offset);
}

long mdia_param_sets(const MdiaContext* ctx, uint8_t* buf, size_t cap) {
    if (ctx == nullptr || buf == nullptr) return -1;
    const size_t need = 8 + ctx->sps.size() + ctx->pps.size();
    if (need > cap) return -1;
    uint8_t* p = buf;
    for (const std::vector<uint8_t>* set : {&ctx->sps, &ctx->pps}) {
        memcpy(p, kStartCode, 4);
        memcpy(p + 4, set->data(), set->size());
        p += 4 + set->size();
    }
    return static_cast<long>(need);
}

long mdat_read_frame(const MdiaContext* ctx, const MovSource* src, const MdiaCursor* cur,
                     uint8_t* buf, size_t cap) {
    if (ctx == nullptr || src == nullptr || cur == nullptr || buf == nullptr) return -1;
    if (cur->size > cap) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) frame size too large:%u, buff size:%zu", __func__,
                       __LINE__, cur->size, cap);
        return -1;
    }
    if (cur->offset > src->size || cur->size > src->size - cur->offset) {
        plr_trace_logf(PLR_LOG_E,
                       "%s(line:%d) sample %u at %llu (%u bytes) past the end of the file",
                       __func__, __LINE__, cur->sample + 1,
                       static_cast<unsigned long long>(cur->offset), cur->size);
        return -1;
    }
    if (!read_exact(src, cur->offset, buf, cur->size)) {
        plr_trace_logf(PLR_LOG_E, "%s(line:%d) frame read error %d", __func__, __LINE__, errno);
        return -1;
    }
    // Each NAL unit: its 4-byte length becomes a start code.
    size_t pos = 0;
    while (pos < cur->size) {
        if (cur->size - pos < 4) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) sample %u ends inside a NAL length", __func__,
                           __LINE__, cur->sample + 1);
            return -1;
        }
        const uint32_t len = mp4_be32(buf + pos);
        if (len > cur->size - pos - 4) {
            plr_trace_logf(PLR_LOG_E, "%s(line:%d) NAL length %u runs past sample %u", __func__,
                           __LINE__, len, cur->sample + 1);
            return -1;
        }
        memcpy(buf + pos, kStartCode, 4);
        pos += 4 + len;
    }
    return static_cast<long>(cur->size);
}
