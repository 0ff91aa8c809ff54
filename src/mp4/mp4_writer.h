// MP4 writer for the recorder: one H.264 video track built from the stream's
// own parameter sets, samples of 4-byte length-prefixed NAL units with a fixed
// duration, and a movie header at the end with 32-bit chunk offsets, so that
// the playback index reader can parse the files with plain box walking.
//
// The operations follow the order the muxer thread makes them: create, time
// scale, track at the first SPS, profile-level indication, SPS, PPS, samples,
// close. Nothing but the file's creation touches the card before the first
// sample: the sample description needs the parameter sets, so the file's
// header goes out with the first sample.
//
// The helpers at the end (NAL splitting, SPS indication bytes, avcC record)
// are pure functions over byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct Mp4WFile;  // one open MP4 file

inline constexpr uint32_t MP4W_INVALID_TRACK_ID = 0;

// Creates the file at the host path `path` and prepares an empty movie. An
// existing file is never truncated: null with errno EEXIST. Null when the file
// cannot be created (errno tells why).
Mp4WFile* MP4W_Create(const char* path);

// True while the file at host path `path` is open here for writing (created
// or reopened and not yet closed): a recording in progress or under repair.
bool MP4W_IsOpen(const char* path);

// Names the journal of the file: a small file that keeps what the movie header
// needs (time scales, picture size, parameter sets) while the file is written,
// so that a file cut off before its movie header can be rebuilt
// (MP4R_RepairFile). The journal is created at once (empty, marking the file
// as in progress) and kept open: filled with the file's header, flushed to
// the card by the next MP4W_DataSync, closed by MP4W_Close and removed by a
// clean one. 0, or -1 (errno tells why).
int MP4W_SetJournal(Mp4WFile* file, const char* journalPath);

// Flushes the samples written so far (and a journal filled since the last
// call) to the card (fdatasync). Safe to call from another thread while the
// file is open. 0, or -errno.
int MP4W_DataSync(Mp4WFile* file);

// Movie time scale in ticks per second: 0, or -1 for a null file, a zero
// scale or a file whose header has been written.
int MP4W_SetTimeScale(Mp4WFile* file, uint32_t timeScale);

// Adds the H.264 video track: the track's time scale, the fixed duration of
// every sample in that scale, the picture size, the profile, constraint-flags
// and level bytes of the stream's SPS, and the size of the samples' length
// fields minus one (only 3 is supported). The track id, or
// MP4W_INVALID_TRACK_ID when the file already has its track or an argument is
// out of range.
uint32_t MP4W_AddH264VideoTrack(Mp4WFile* file, uint32_t timeScale, uint32_t sampleDuration,
                                uint16_t width, uint16_t height, uint8_t profile,
                                uint8_t constraints, uint8_t level, uint8_t lengthSizeMinusOne);

// Profile-level indication of the movie's initial object descriptor: 0 or -1.
int MP4W_SetVideoProfileLevel(Mp4WFile* file, uint8_t profileLevel);

// Parameter sets (NAL unit without start code, header byte first) for the
// track's avcC record. An SPS is taken once; a PPS that is already there is
// skipped; a new PPS after the first sample cannot reach the written header
// and is refused. 0 or -1.
int MP4W_AddH264SequenceParameterSet(Mp4WFile* file, uint32_t trackId, const uint8_t* sps,
                                     uint16_t size);
int MP4W_AddH264PictureParameterSet(Mp4WFile* file, uint32_t trackId, const uint8_t* pps,
                                    uint16_t size);

// Writes one sample: `size` bytes, one or more NAL units each behind its
// 4-byte big-endian length, lasting the track's sample duration. The first
// sample writes the file's header and needs the SPS and at least one PPS.
// 0, or -1 when the bytes could not be written (the file is then unusable).
int MP4W_WriteSample(Mp4WFile* file, uint32_t trackId, const uint8_t* bytes, uint32_t size,
                     bool isSync);

// Number of samples written so far.
uint32_t MP4W_GetSampleCount(const Mp4WFile* file);

// Writes the movie header (when samples were written), closes the file and
// frees `file`. 0, or -1 when something could not be written.
int MP4W_Close(Mp4WFile* file);

// Writes all `size` bytes to `fd`, going on after partial writes and after
// writes interrupted by a signal. 0, or -errno.
int MP4W_WriteAll(int fd, const uint8_t* bytes, size_t size);

// ---- rebuilding a file cut off before its movie header ----

// What the movie header of a file needs besides its samples: the content of
// the journal.
struct Mp4WTrackInfo {
    uint32_t movieTimeScale = 0;
    uint32_t trackTimeScale = 0;
    uint32_t sampleDuration = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t indication[3] = {};  // profile, constraint flags, level
    int32_t profileLevel = -1;   // -1: none set
    std::vector<uint8_t> sps;
    std::vector<std::vector<uint8_t>> pps;
};

// The journal's bytes: "VBJ1", then big-endian fields in the order of
// Mp4WTrackInfo, each parameter set behind its 16-bit length.
std::vector<uint8_t> MP4W_EncodeJournal(const Mp4WTrackInfo& info);
// 0, or -1 when the bytes are not a complete journal.
int MP4W_DecodeJournal(std::span<const uint8_t> bytes, Mp4WTrackInfo* info);

// Opens an existing file whose first `dataEnd` bytes hold the file's header
// and complete samples, to write its movie header again: the caller sets the
// track from the journal and hands every sample over with MP4W_WriteSample in
// order; those bytes are already in the file and are skipped, not written.
// MP4W_Close then writes the media data size and the movie header behind the
// last sample, exactly as a clean close does. `dataOffset` is where the first
// sample begins: the header the track would write must end there. Null when
// the file cannot be opened.
Mp4WFile* MP4W_Reopen(const char* path, uint64_t dataOffset, uint64_t dataEnd);
int MP4W_SetTrack(Mp4WFile* file, const Mp4WTrackInfo& info);

// ---- H.264 byte-stream helpers ----

// One NAL unit of an Annex B byte stream.
struct Mp4WNal {
    const uint8_t* startCode;  // first byte of its start code
    uint32_t startCodeSize;    // 3 (00 00 01) or 4 (00 00 00 01)
    const uint8_t* data;       // NAL header byte
    uint32_t size;             // bytes up to the next start code or the end
    uint8_t type;              // low 5 bits of the header byte
};

// The first start code 00 00 01 in [start, end), returned at the 00 before it
// when that byte is inside the range (a four-byte code is returned at its
// first byte); end when there is none. The same answer as the frame queue's
// avc_find_startcode, found with a vectorised search for zero bytes: every
// byte of a recording passes through this search.
const uint8_t* MP4W_FindStartCode(const uint8_t* start, const uint8_t* end);

// The NAL unit whose start code is the first one in [from, end). False when
// there is none. A unit ends where the next start code begins; its size may
// be 0 when two start codes follow each other.
bool MP4W_NextNal(const uint8_t* from, const uint8_t* end, Mp4WNal* nal);

// Splits a whole Annex B buffer into its NAL units.
std::vector<Mp4WNal> MP4W_SplitNals(std::span<const uint8_t> stream);

// Profile, constraint-flags and level bytes of an SPS NAL unit (header byte
// first): 0, or -1 when the unit is too short or not an SPS.
int MP4W_SpsIndication(const uint8_t* sps, size_t size, uint8_t* profile, uint8_t* constraints,
                       uint8_t* level);

// The AVC decoder configuration record (avcC) for one SPS and its PPS units
// with 4-byte length fields. Empty when the SPS is too short or a set is
// larger than 65535 bytes.
std::vector<uint8_t> MP4W_BuildAvcC(std::span<const uint8_t> sps,
                                    const std::vector<std::vector<uint8_t>>& ppsList);
