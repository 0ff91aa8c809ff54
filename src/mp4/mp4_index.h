// MP4 index reader for playback: finds the top-level atoms of a recorded file,
// loads the movie header, picks out the video track's media header, sample
// tables and H.264 decoder configuration, maps a position in milliseconds to
// the sync sample at or before it, and reads samples as start-code byte
// streams (4-byte length prefixes replaced by 00 00 00 01).
//
// The files come from a removable card and may be damaged or hostile: every
// atom size, table entry count, sample size and chunk offset is checked
// against its buffer and the file's size before use. A check that fails logs
// one line and gives -1; nothing allocates more than a fixed bound, and every
// loop is bounded by a table that was checked. All numbers in the file are
// big-endian.
//
// Reading goes through MovSource, so the parser runs the same over a file and
// over bytes in memory (tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Where the bytes come from.
struct MovSource {
    // Reads up to `len` bytes at `offset` into `buf`: the count read (short
    // only at the end of the file), or -1 on a read error.
    long (*read_at)(void* opaque, uint64_t offset, uint8_t* buf, size_t len);
    void* opaque;
    uint64_t size;  // bytes in the file
};

// A source over an open file descriptor (pread); size from fstat. -1 when the
// descriptor cannot be examined.
int mov_source_fd(int fd, MovSource* src);
// A source over bytes in memory (they must outlive the source).
void mov_source_memory(const std::vector<uint8_t>* bytes, MovSource* src);

// Largest movie header loaded (an hour of 60 fps video needs about 2 MiB).
inline constexpr uint64_t MOV_MOOV_MAX = 32ull << 20;
// Atoms nest at most this deep in the movie header.
inline constexpr uint32_t MOV_MAX_DEPTH = 20;
// Playback's frame buffer and the largest sample it takes.
inline constexpr size_t MOV_FRAME_BUFFER_SIZE = 2097152;

// The top-level atoms (filled by mov_get_header_atom).
struct MovHeader {
    uint64_t ftyp_size = 0;
    uint64_t ftyp_pos = 0;
    uint64_t moov_size = 0;
    uint64_t moov_pos = 0;
    std::vector<uint8_t> moov;  // the whole atom, header included
    uint64_t mdat_size = 0;     // as stored, header included
    uint64_t mdat_pos = 0;      // offset of its header
    bool have_ftyp = false;
    bool have_moov = false;
    bool have_mdat = false;
};

// Walks the top-level atoms and loads the movie header. A size of 0 means
// "to the end of the file" (only sensible for the last atom); a 64-bit size
// is read where the 32-bit one is 1. Fails (-1, logged) on an atom smaller
// than its header or past the end of the file, a type that is not one of
// ftyp, moov, mdat, free, junk, pnot, skip, wide, PICT or uuid, a compressed
// or oversized movie header, or a file without moov or mdat. 0 on success.
int mov_get_header_atom(const MovSource* src, MovHeader* hdr);

// True for a top-level box this reader accepts (ftyp, moov, mdat and the ones
// it skips); `type` is the box's four type bytes. The recording repair uses it
// to tell a file players would refuse.
bool mov_top_level_box_known(const uint8_t* type);

// One sample table as found in the movie header: entries point into the
// loaded moov buffer, `count` of them, each checked to lie in the atom.
struct MdiaTable {
    const uint8_t* entries = nullptr;
    uint32_t count = 0;
    bool present = false;
};

// The video track's index (mdia_alloc_context / mdia_free_context).
struct MdiaContext {
    uint32_t depth = 0;       // nesting depth of the walk
    uint32_t handler = 0;     // handler type of the track being walked
    bool track_done = false;  // a video track has been read; later ones are skipped
    bool bad = false;         // a table of the video track was malformed

    // Media header.
    uint32_t time_scale = 0;
    uint64_t duration = 0;
    bool have_mdhd = false;

    // Sample description: the first entry and its avcC record.
    uint32_t format = 0;  // e.g. 'avc1'
    uint16_t width = 0;
    uint16_t height = 0;
    bool have_avcc = false;
    uint8_t profile = 0;
    uint8_t level = 0;
    uint8_t nal_length_size = 0;
    std::vector<uint8_t> sps;  // the first SPS (NAL unit, header byte first)
    std::vector<uint8_t> pps;  // the first PPS

    // Sample tables (stco or co64 for the chunk offsets).
    MdiaTable stts;  // (count, delta), 8 bytes
    MdiaTable stsc;  // (first chunk, samples per chunk, description), 12 bytes
    MdiaTable stco;  // 4 bytes, or 8 bytes when co64
    bool co64 = false;
    MdiaTable stss;  // 1-based sync sample numbers, 4 bytes
    MdiaTable stsz;  // sizes, 4 bytes; absent entries when sample_size != 0
    uint32_t sample_size = 0;
    uint32_t sample_count = 0;
};

int mdia_alloc_context(MdiaContext** out);
int mdia_free_context(MdiaContext* ctx);

// Walks atoms in memory: calls `callback` for each atom with its type and
// payload. -1 (logged) when an atom is smaller than its header or larger than
// what is left; a callback failure is logged and the walk goes on.
using MovAtomCallback = int (*)(void* opaque, uint32_t type, const uint8_t* payload, uint64_t size);
int mov_parse_atoms(const uint8_t* buf, uint64_t len, MovAtomCallback callback, void* opaque);

// The callback for the movie header: descends into moov, trak, mdia, minf and
// stbl; reads mdhd, hdlr, stsd, stts, stsc, stsz, stco, co64 and stss of the
// first video track.
int mdia_parse_callback(void* opaque, uint32_t type, const uint8_t* payload, uint64_t size);

// Builds the index from a loaded movie header and checks that it is complete
// and consistent: a video track with a time scale, an H.264 description with
// SPS, PPS and 4-byte NAL lengths, and tables that cover every sample. 0 or
// -1 (logged).
int mdia_build_index(const MovHeader* hdr, MdiaContext* ctx);

// Position of one sample in the file. `sample` and `chunk` count from 0.
struct MdiaCursor {
    uint32_t sample = 0;
    uint32_t chunk = 0;
    uint32_t in_chunk = 0;    // index of the sample within its chunk
    uint32_t stsc_entry = 0;  // the sample-to-chunk entry of that chunk
    uint64_t offset = 0;      // file offset of the sample
    uint32_t size = 0;        // its size
};

// The sample (from 0) playing at `pos_ms`; the last sample past the end.
uint32_t mdia_sample_at(const MdiaContext* ctx, uint32_t pos_ms);
// The sync sample at or before `sample` (the first sync sample when there is
// none before it; every sample is one when the track has no stss). -1 when
// the table names a sample outside the track.
int64_t mdia_sync_sample(const MdiaContext* ctx, uint32_t sample);
// Places the cursor on `sample`. 0, or -1 when the tables do not reach it.
int mdia_cursor_seek(const MdiaContext* ctx, uint32_t sample, MdiaCursor* cur);
// Moves to the next sample: 1 moved, 0 past the last sample, -1 bad tables.
int mdia_cursor_next(const MdiaContext* ctx, MdiaCursor* cur);
// The cursor on the sync sample for `pos_ms`; returns the file offset where
// streaming starts, or -1.
int64_t mdia_get_offset(uint32_t pos_ms, const MdiaContext* ctx, MdiaCursor* cur);

// 00 00 00 01, SPS, 00 00 00 01, PPS into `buf`: the length, or -1 when they
// do not fit in `cap` bytes ("too large SPS and PPS").
long mdia_param_sets(const MdiaContext* ctx, uint8_t* buf, size_t cap);

// Reads the sample under the cursor into `buf` and turns its length-prefixed
// NAL units into start-code form. The length, or -1 (logged) when the sample
// is larger than `cap` ("frame size too large"), lies past the end of the
// file, cannot be read, or a NAL length runs past the sample.
long mdat_read_frame(const MdiaContext* ctx, const MovSource* src, const MdiaCursor* cur,
                     uint8_t* buf, size_t cap);
