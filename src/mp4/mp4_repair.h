// Rebuilding recordings cut off before their movie header (a power cut, a
// crash, a card that failed or was pulled while recording).
//
// While a file is written its samples reach the card at least once a second
// and a small journal beside it keeps what the movie header needs besides the
// samples (mp4_writer.h). The media data holds every slice NAL unit behind its
// 4-byte length, so walking it from the front finds every complete sample;
// the writer then writes the media data size and the movie header behind the
// last one, exactly as a clean close would have. The file keeps its name.
//
// The layout and sample walks are pure functions over a reader of the file's
// bytes; MP4R_RepairFile does the file work; the repair worker runs repairs
// one after another on a thread of its own, so that the card's mount and the
// camera do not wait for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mp4/mp4_box.h"

// Reads `size` bytes at `offset` into `out`: true when all were read.
using Mp4RRead = Mp4ReadAt;

// The top-level boxes of a file as found.
struct Mp4RLayout {
    bool isMp4 = false;       // starts with an ftyp box
    uint64_t mdatOffset = 0;  // the mdat box, 0 when there is none
    uint64_t dataOffset = 0;  // first byte of its payload
    uint64_t dataLimit = 0;   // end of its payload, as far as it lies in the file
    bool mdatSized = false;   // the mdat box has its size (not the 0 of a file being written)
    bool hasMovie = false;    // a complete moov box
    // A top-level box of a type players refuse (not ftyp, moov, mdat, free,
    // junk, pnot, skip, wide, PICT or uuid): not a file this recorder wrote,
    // and rebuilding its movie header would not make it play.
    bool foreignBox = false;
};
// 0, or -1 when nothing could be read.
int MP4R_ReadLayout(const Mp4RRead& read, uint64_t fileSize, Mp4RLayout* layout);
// A file that plays as it stands.
bool MP4R_IsComplete(const Mp4RLayout& layout);

// One sample found in the media data: its 4-byte length field's offset, its
// size with that field, and whether it is an IDR slice.
struct Mp4RSample {
    uint64_t offset;
    uint32_t size;
    bool sync;
};
// The complete samples of [begin, end): each a 4-byte big-endian length and a
// NAL unit of that length whose header is plausible (forbidden bit clear,
// type 1 to 23, not a parameter set). The walk stops at the first that is
// not, or that the range cuts short.
std::vector<Mp4RSample> MP4R_ScanSamples(const Mp4RRead& read, uint64_t begin, uint64_t end);

enum Mp4RResult : int {
    MP4R_FAILED = -1,   // left as it was (unreadable, not ours, no usable journal)
    MP4R_COMPLETE = 0,  // the file was complete; only its journal was removed
    MP4R_REPAIRED = 1,  // movie header rebuilt
    MP4R_REMOVED = 2,   // not one complete sample: file removed
};
// Repairs the file at host path `path` with the journal at `journalPath` and
// removes the journal unless the result is MP4R_FAILED. `samples`, when
// given, receives the number of samples the repaired file holds.
Mp4RResult MP4R_RepairFile(const char* path, const char* journalPath, uint32_t* samples);

// Board path of the journal of the recording at board path `recording`: in
// the hidden directory ".journal" beside it, the file's name plus ".jnl".
std::string PLR_MOV_JournalPath(std::string_view recording);

// Queues the recordings whose journals are on the card (files written when
// the power went, or whose writing failed) for repair: call when the card has
// been mounted. Returns the number queued.
int PLR_MOV_RepairScan(std::string_view videoDir);
// Queues one recording (board path) for repair.
void PLR_MOV_RepairQueue(std::string_view recording);
// Waits until every queued repair is done (tests, shutdown order): 0.
int PLR_MOV_RepairWait();
// Ends the worker after the repair in hand; queued ones are dropped (their
// journals stay for the next mount). 0.
int PLR_MOV_RepairStop();
