#include "mp4/mp4_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include "board/board.h"
#include "core/trace_log.h"

// The file is written through libavformat's MP4 muxer over an I/O context of
// our own on a plain descriptor: every write goes through MP4W_WriteAll, so a
// signal that interrupts a write never turns into a write error. Samples are
// handed to the descriptor straight from the caller's buffer (direct I/O
// context); only the small boxes pass through the context's buffer.
struct Mp4WFile {
    int fd = -1;
    int ioErrno = 0;  // first write or seek error, 0 when none
    uint32_t movieTimeScale = 0;
    // The track, once added.
    bool hasTrack = false;
    uint32_t trackTimeScale = 0;
    uint32_t sampleDuration = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t indication[3] = {};  // profile, constraint flags, level of the track
    int profileLevel = -1;       // -1: none set
    std::vector<uint8_t> sps;
    std::vector<std::vector<uint8_t>> pps;
    // The muxer, created with the first sample.
    AVFormatContext* fmt = nullptr;
    AVIOContext* io = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    bool headerWritten = false;
    uint32_t samples = 0;
    // Journal beside the file; empty when none. Created (empty) with the file
    // and kept open: filled once with the header, flushed to the card by the
    // next MP4W_DataSync (off the frame path), closed and removed by a clean
    // close. One creation and one removal per file; no reopening.
    std::string journal;
    int journalFd = -1;
    std::atomic<bool> journalUnsynced{false};
    // Rebuilding the movie header of a file whose samples are on the card
    // already: the bytes the muxer hands over before the trailer are skipped.
    bool replaying = false;
    uint64_t dataOffset = 0;
    uint64_t dataEnd = 0;
};

// Recordings pass 4 GiB: the opens, sizes and seeks here need 64-bit file offsets, also on
// the 32-bit board (_FILE_OFFSET_BITS=64 is set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace {

constexpr uint32_t kTrackId = 1;
constexpr int kIoBufferSize = 64 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int io_write(void* opaque, const uint8_t* buf, int size) {
#else
int io_write(void* opaque, uint8_t* buf, int size) {
#endif
    auto* file = static_cast<Mp4WFile*>(opaque);
    if (size <= 0) return 0;
    if (file->replaying) {
        // These bytes are in the file already.
        if (lseek(file->fd, static_cast<off_t>(size), SEEK_CUR) < 0) {
            if (file->ioErrno == 0) file->ioErrno = errno;
            return AVERROR(errno);
        }
        return size;
    }
    const int rc = MP4W_WriteAll(file->fd, buf, static_cast<size_t>(size));
    if (rc < 0) {
        if (file->ioErrno == 0) file->ioErrno = -rc;
        return AVERROR(-rc);
    }
    return size;
}

int64_t io_seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<Mp4WFile*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st {};
        if (fstat(file->fd, &st) != 0) return AVERROR(errno);
        return static_cast<int64_t>(st.st_size);
    }
    const off_t pos = lseek(file->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    if (pos < 0) {
        const int err = errno;
        if (file->ioErrno == 0) file->ioErrno = err;
        return AVERROR(err);
    }
    return static_cast<int64_t>(pos);
}

void free_muxer(Mp4WFile* file) {
    if (file->fmt != nullptr) {
        file->fmt->pb = nullptr;
        avformat_free_context(file->fmt);
        file->fmt = nullptr;
    }
    if (file->io != nullptr) {
        av_freep(&file->io->buffer);
        avio_context_free(&file->io);
    }
    av_packet_free(&file->packet);
    file->stream = nullptr;
}

void set_int_option(AVDictionary** opts, const char* key, int64_t value) {
    char text[32];
    snprintf(text, sizeof text, "%" PRId64, value);
    av_dict_set(opts, key, text, 0);
}

Mp4WTrackInfo track_info(const Mp4WFile* file) {
    Mp4WTrackInfo info;
    info.movieTimeScale = file->movieTimeScale;
    info.trackTimeScale = file->trackTimeScale;
    info.sampleDuration = file->sampleDuration;
    info.width = file->width;
    info.height = file->height;
    memcpy(info.indication, file->indication, sizeof info.indication);
    info.profileLevel = file->profileLevel;
    info.sps = file->sps;
    info.pps = file->pps;
    return info;
}

// Fills the journal. A journal that cannot be written only costs the file
// its rebuild after a power cut.
void write_journal(Mp4WFile* file) {
    const std::vector<uint8_t> bytes = MP4W_EncodeJournal(track_info(file));
    if (const int rc = MP4W_WriteAll(file->journalFd, bytes.data(), bytes.size()); rc != 0) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):journal %s not written: %s", __func__, __LINE__,
                       file->journal.c_str(), strerror(-rc));
    } else {
        file->journalUnsynced.store(true);
    }
}

// Sets up the MP4 muxer for the track and writes the file's header.
int write_header(Mp4WFile* file) {
    if (!file->hasTrack || file->sps.empty() || file->pps.empty()) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):sample before the parameter sets", __func__, __LINE__);
        return -1;
    }
    std::vector<uint8_t> avcc = MP4W_BuildAvcC(file->sps, file->pps);
    if (avcc.empty()) return -1;
    // The track's own indication bytes (those of the first SPS).
    memcpy(&avcc[1], file->indication, sizeof file->indication);

    if (avformat_alloc_output_context2(&file->fmt, nullptr, "mp4", nullptr) < 0 ||
        file->fmt == nullptr) {
        return -1;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer == nullptr) return -1;
    file->io = avio_alloc_context(buffer, kIoBufferSize, 1, file, nullptr, io_write, io_seek);
    if (file->io == nullptr) {
        av_free(buffer);
        return -1;
    }
    file->io->seekable = AVIO_SEEKABLE_NORMAL;
    file->io->direct = 1;  // large writes (the samples) bypass the buffer
    file->fmt->pb = file->io;
    file->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;

    file->stream = avformat_new_stream(file->fmt, nullptr);
    file->packet = av_packet_alloc();
    if (file->stream == nullptr || file->packet == nullptr) return -1;
    AVCodecParameters* par = file->stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = file->width;
    par->height = file->height;
    par->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return -1;
    memcpy(par->extradata, avcc.data(), avcc.size());
    par->extradata_size = static_cast<int>(avcc.size());
    file->stream->time_base = AVRational{1, static_cast<int>(file->trackTimeScale)};
    file->stream->avg_frame_rate =
        AVRational{static_cast<int>(file->trackTimeScale), static_cast<int>(file->sampleDuration)};

    AVDictionary* opts = nullptr;
    set_int_option(&opts, "movie_timescale",
                   file->movieTimeScale != 0 ? file->movieTimeScale : file->trackTimeScale);
    set_int_option(&opts, "video_track_timescale", file->trackTimeScale);
    // The timeline starts at the first sample: no edit list is needed.
    av_dict_set(&opts, "use_editlist", "0", 0);
    if (file->profileLevel >= 0) {
        av_dict_set(&opts, "skip_iods", "0", 0);
        set_int_option(&opts, "iods_video_profile", file->profileLevel);
    }
    const int rc = avformat_write_header(file->fmt, &opts);
    av_dict_free(&opts);
    if (rc < 0 || file->ioErrno != 0) return -1;
    if (file->replaying && static_cast<uint64_t>(avio_tell(file->io)) != file->dataOffset) {
        plr_trace_logf(PLR_LOG_E, "%s(%d):the file's header does not match its track", __func__,
                       __LINE__);
        return -1;
    }
    file->headerWritten = true;
    if (file->journalFd >= 0) write_journal(file);
    return 0;
}

// The files open for writing, by device and inode (MP4W_IsOpen): the media
// catalogue must never take one for a leftover.
using FileIdentity = std::pair<uint64_t, uint64_t>;
std::mutex g_openLock;
std::multiset<FileIdentity> g_openFiles;

FileIdentity identity_of(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

void note_open(int fd, bool open) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return;
    const FileIdentity id = identity_of(st);
    std::lock_guard lock(g_openLock);
    if (open) {
        g_openFiles.insert(id);
    } else if (const auto it = g_openFiles.find(id); it != g_openFiles.end()) {
        g_openFiles.erase(it);
    }
}

// The file record for an open descriptor; null (the descriptor closed) when
// there is no memory.
Mp4WFile* new_file(int fd) {
    auto* file = new (std::nothrow) Mp4WFile;
    if (file == nullptr) {
        board_card_close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    file->fd = fd;
    note_open(fd, true);
    return file;
}

bool valid_track(const Mp4WFile* file, uint32_t trackId) {
    return file != nullptr && file->hasTrack && trackId == kTrackId;
}

}  // namespace

bool MP4W_IsOpen(const char* path) {
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0) return false;
    std::lock_guard lock(g_openLock);
    return g_openFiles.count(identity_of(st)) != 0;
}

Mp4WFile* MP4W_Create(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = -1;
    do {
        fd = board_card_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    return new_file(fd);
}

int MP4W_SetJournal(Mp4WFile* file, const char* journalPath) {
    if (file == nullptr || journalPath == nullptr || file->headerWritten || file->journalFd >= 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = -1;
    do {
        fd = board_card_open(journalPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    file->journal = journalPath;
    file->journalFd = fd;
    return 0;
}

int MP4W_DataSync(Mp4WFile* file) {
    if (file == nullptr) return -EINVAL;
    // The descriptor is set before the file is shared and closed after.
    if (file->journalUnsynced.exchange(false)) board_card_datasync(file->journalFd);
    return board_card_datasync(file->fd) == 0 ? 0 : -errno;
}

Mp4WFile* MP4W_Reopen(const char* path, uint64_t dataOffset, uint64_t dataEnd) {
    if (path == nullptr || dataEnd < dataOffset) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = -1;
    do {
        fd = board_card_open(path, O_RDWR | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    // Whatever follows the last complete sample (a sample cut short, the
    // start of a movie header) goes.
    if (ftruncate(fd, static_cast<off_t>(dataEnd)) != 0) {
        const int err = errno;
        board_card_close(fd);
        errno = err;
        return nullptr;
    }
    Mp4WFile* file = new_file(fd);
    if (file == nullptr) return nullptr;
    file->replaying = true;
    file->dataOffset = dataOffset;
    file->dataEnd = dataEnd;
    return file;
}

int MP4W_SetTrack(Mp4WFile* file, const Mp4WTrackInfo& info) {
    if (file == nullptr || info.sps.size() > 0xffff) return -1;
    if (info.movieTimeScale != 0 && MP4W_SetTimeScale(file, info.movieTimeScale) != 0) return -1;
    const uint32_t track = MP4W_AddH264VideoTrack(file, info.trackTimeScale, info.sampleDuration,
                                                  info.width, info.height, info.indication[0],
                                                  info.indication[1], info.indication[2], 3);
    if (track == MP4W_INVALID_TRACK_ID) return -1;
    if (info.profileLevel >= 0 &&
        MP4W_SetVideoProfileLevel(file, static_cast<uint8_t>(info.profileLevel)) != 0) {
        return -1;
    }
    if (MP4W_AddH264SequenceParameterSet(file, track, info.sps.data(),
                                         static_cast<uint16_t>(info.sps.size())) != 0) {
        return -1;
    }
    for (const std::vector<uint8_t>& pps : info.pps) {
        if (pps.size() > 0xffff ||
            MP4W_AddH264PictureParameterSet(file, track, pps.data(),
                                            static_cast<uint16_t>(pps.size())) != 0) {
            return -1;
        }
    }
    return 0;
}

int MP4W_SetTimeScale(Mp4WFile* file, uint32_t timeScale) {
    if (file == nullptr || timeScale == 0 || timeScale > INT32_MAX || file->headerWritten)
        return -1;
    file->movieTimeScale = timeScale;
    return 0;
}

uint32_t MP4W_AddH264VideoTrack(Mp4WFile* file, uint32_t timeScale, uint32_t sampleDuration,
                                uint16_t width, uint16_t height, uint8_t profile,
                                uint8_t constraints, uint8_t level, uint8_t lengthSizeMinusOne) {
    if (file == nullptr || file->hasTrack || timeScale == 0 || timeScale > INT32_MAX ||
        sampleDuration == 0 || sampleDuration > INT32_MAX || lengthSizeMinusOne != 3) {
        return MP4W_INVALID_TRACK_ID;
    }
    file->hasTrack = true;
    file->trackTimeScale = timeScale;
    file->sampleDuration = sampleDuration;
    file->width = width;
    file->height = height;
    file->indication[0] = profile;
    file->indication[1] = constraints;
    file->indication[2] = level;
    return kTrackId;
}

int MP4W_SetVideoProfileLevel(Mp4WFile* file, uint8_t profileLevel) {
    if (file == nullptr || file->headerWritten) return -1;
    file->profileLevel = profileLevel;
    return 0;
}

int MP4W_AddH264SequenceParameterSet(Mp4WFile* file, uint32_t trackId, const uint8_t* sps,
                                     uint16_t size) {
    if (!valid_track(file, trackId) || sps == nullptr || size < 4) return -1;
    if (!file->sps.empty()) {
        return (file->sps.size() == size && memcmp(file->sps.data(), sps, size) == 0) ? 0 : -1;
    }
    if (file->headerWritten) return -1;
    file->sps.assign(sps, sps + size);
    return 0;
}

int MP4W_AddH264PictureParameterSet(Mp4WFile* file, uint32_t trackId, const uint8_t* pps,
                                    uint16_t size) {
    if (!valid_track(file, trackId) || pps == nullptr || size == 0) return -1;
    for (const std::vector<uint8_t>& known : file->pps) {
        if (known.size() == size && memcmp(known.data(), pps, size) == 0) return 0;
    }
    if (file->headerWritten || file->pps.size() >= 255) return -1;
    file->pps.emplace_back(pps, pps + size);
    return 0;
}

int MP4W_WriteSample(Mp4WFile* file, uint32_t trackId, const uint8_t* bytes, uint32_t size,
                     bool isSync) {
    if (!valid_track(file, trackId) || bytes == nullptr || size == 0 || size > INT32_MAX) return -1;
    if (file->ioErrno != 0) return -1;
    if (!file->headerWritten && write_header(file) != 0) {
        // Nothing useful can come of this file any more.
        free_muxer(file);
        if (file->ioErrno == 0) file->ioErrno = EIO;
        return -1;
    }
    AVPacket* pkt = file->packet;
    pkt->data = const_cast<uint8_t*>(bytes);  // not owned; the muxer only reads it
    pkt->size = static_cast<int>(size);
    pkt->stream_index = 0;
    const AVRational scale{1, static_cast<int>(file->trackTimeScale)};
    const int64_t ticks = static_cast<int64_t>(file->samples) * file->sampleDuration;
    pkt->dts = av_rescale_q(ticks, scale, file->stream->time_base);
    pkt->pts = pkt->dts;
    pkt->duration = av_rescale_q(file->sampleDuration, scale, file->stream->time_base);
    pkt->flags = isSync ? AV_PKT_FLAG_KEY : 0;
    const int rc = av_write_frame(file->fmt, pkt);
    pkt->data = nullptr;
    pkt->size = 0;
    if (rc < 0 || file->ioErrno != 0 || file->io->error < 0) {
        if (file->ioErrno == 0) file->ioErrno = EIO;
        return -1;
    }
    ++file->samples;
    return 0;
}

uint32_t MP4W_GetSampleCount(const Mp4WFile* file) {
    return file == nullptr ? 0 : file->samples;
}

int MP4W_Close(Mp4WFile* file) {
    if (file == nullptr) return -1;
    int result = file->ioErrno == 0 ? 0 : -1;
    if (file->replaying && file->headerWritten &&
        static_cast<uint64_t>(avio_tell(file->io)) != file->dataEnd) {
        // The samples handed over are not the file's: leave it as it is.
        result = -1;
    }
    file->replaying = false;
    if (result == 0 && file->headerWritten && file->fmt != nullptr) {
        if (av_write_trailer(file->fmt) < 0) result = -1;
        avio_flush(file->io);
        if (file->ioErrno != 0 || file->io->error < 0) result = -1;
        // The journal goes only once the movie header is on the card.
        if (result == 0 && board_card_datasync(file->fd) != 0) result = -1;
    }
    free_muxer(file);
    note_open(file->fd, false);
    // close() is not repeated after EINTR: on Linux the descriptor is gone either way.
    if (board_card_close(file->fd) != 0 && errno != EINTR) result = -1;
    if (file->journalFd >= 0) {
        board_card_close(file->journalFd);
        if (result == 0) unlink(file->journal.c_str());
    }
    delete file;
    return result;
}

int MP4W_WriteAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = board_card_write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) return -EIO;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

namespace {

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void put_u16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// Reads big-endian fields from a byte span; any read past the end fails the whole.
struct JournalReader {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
    bool ok = true;
    uint32_t get(size_t n) {
        if (!ok || bytes.size() - pos < n) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v = v << 8 | bytes[pos++];
        return v;
    }
    std::vector<uint8_t> blob() {
        const size_t n = get(2);
        if (!ok || bytes.size() - pos < n) {
            ok = false;
            return {};
        }
        std::vector<uint8_t> out(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        return out;
    }
};

constexpr uint8_t kJournalMagic[4] = {'V', 'B', 'J', '1'};

}  // namespace

std::vector<uint8_t> MP4W_EncodeJournal(const Mp4WTrackInfo& info) {
    std::vector<uint8_t> out(std::begin(kJournalMagic), std::end(kJournalMagic));
    put_u32(out, info.movieTimeScale);
    put_u32(out, info.trackTimeScale);
    put_u32(out, info.sampleDuration);
    put_u16(out, info.width);
    put_u16(out, info.height);
    out.insert(out.end(), std::begin(info.indication), std::end(info.indication));
    put_u32(out, static_cast<uint32_t>(info.profileLevel));
    put_u16(out, static_cast<uint32_t>(info.sps.size()));
    out.insert(out.end(), info.sps.begin(), info.sps.end());
    out.push_back(static_cast<uint8_t>(info.pps.size()));
    for (const std::vector<uint8_t>& pps : info.pps) {
        put_u16(out, static_cast<uint32_t>(pps.size()));
        out.insert(out.end(), pps.begin(), pps.end());
    }
    return out;
}

int MP4W_DecodeJournal(std::span<const uint8_t> bytes, Mp4WTrackInfo* info) {
    if (info == nullptr || bytes.size() < sizeof kJournalMagic ||
        memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0) {
        return -1;
    }
    JournalReader r{bytes, sizeof kJournalMagic};
    Mp4WTrackInfo out;
    out.movieTimeScale = r.get(4);
    out.trackTimeScale = r.get(4);
    out.sampleDuration = r.get(4);
    out.width = static_cast<uint16_t>(r.get(2));
    out.height = static_cast<uint16_t>(r.get(2));
    for (uint8_t& b : out.indication) b = static_cast<uint8_t>(r.get(1));
    out.profileLevel = static_cast<int32_t>(r.get(4));
    out.sps = r.blob();
    const uint32_t ppsCount = r.get(1);
    for (uint32_t i = 0; i < ppsCount && r.ok; ++i) out.pps.push_back(r.blob());
    if (!r.ok || r.pos != bytes.size() || out.sps.empty() || out.pps.empty() ||
        out.trackTimeScale == 0 || out.sampleDuration == 0) {
        return -1;
    }
    *info = std::move(out);
    return 0;
}

const uint8_t* MP4W_FindStartCode(const uint8_t* start, const uint8_t* end) {
    if (start == nullptr || end == nullptr || end - start < 3) return end;
    // Zero bytes are rare in coded slices: jump from zero to zero with the C
    // library's vectorised memchr and look closer only there.
    const uint8_t* p = start;
    const uint8_t* last = end - 2;  // a code needs three bytes
    while (p < last) {
        p = static_cast<const uint8_t*>(memchr(p, 0, static_cast<size_t>(last - p)));
        if (p == nullptr) return end;
        if (p[1] != 0) {
            p += 2;  // neither p nor p + 1 starts a code
        } else if (p[2] == 1) {
            return (p > start && p[-1] == 0) ? p - 1 : p;
        } else {
            p += 1;
        }
    }
    return end;
}

bool MP4W_NextNal(const uint8_t* from, const uint8_t* end, Mp4WNal* nal) {
    if (from == nullptr || end == nullptr || nal == nullptr || end <= from) return false;
    const uint8_t* code = MP4W_FindStartCode(from, end);
    if (code == end) return false;
    // The search returns a four-byte code at its leading zero.
    const uint32_t codeSize = code[2] == 1 ? 3 : 4;
    const uint8_t* data = code + codeSize;
    const uint8_t* next = MP4W_FindStartCode(data, end);
    nal->startCode = code;
    nal->startCodeSize = codeSize;
    nal->data = data;
    nal->size = static_cast<uint32_t>(next - data);
    nal->type = nal->size > 0 ? static_cast<uint8_t>(data[0] & 0x1f) : 0;
    return true;
}

std::vector<Mp4WNal> MP4W_SplitNals(std::span<const uint8_t> stream) {
    std::vector<Mp4WNal> nals;
    const uint8_t* p = stream.data();
    const uint8_t* end = stream.data() + stream.size();
    Mp4WNal nal{};
    while (MP4W_NextNal(p, end, &nal)) {
        nals.push_back(nal);
        p = nal.data + nal.size;
    }
    return nals;
}

int MP4W_SpsIndication(const uint8_t* sps, size_t size, uint8_t* profile, uint8_t* constraints,
                       uint8_t* level) {
    if (sps == nullptr || size < 4 || (sps[0] & 0x1f) != 7) return -1;
    if (profile != nullptr) *profile = sps[1];
    if (constraints != nullptr) *constraints = sps[2];
    if (level != nullptr) *level = sps[3];
    return 0;
}

std::vector<uint8_t> MP4W_BuildAvcC(std::span<const uint8_t> sps,
                                    const std::vector<std::vector<uint8_t>>& ppsList) {
    std::vector<uint8_t> out;
    if (sps.size() < 4 || sps.size() > 0xffff || ppsList.size() > 255) return out;
    for (const std::vector<uint8_t>& pps : ppsList) {
        if (pps.empty() || pps.size() > 0xffff) return out;
    }
    auto put16 = [&out](size_t v) {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    };
    out.push_back(1);         // configurationVersion
    out.push_back(sps[1]);    // AVCProfileIndication
    out.push_back(sps[2]);    // profile_compatibility (the constraint flags)
    out.push_back(sps[3]);    // AVCLevelIndication
    out.push_back(0xfc | 3);  // reserved bits, lengthSizeMinusOne = 3
    out.push_back(0xe0 | 1);  // reserved bits, one SPS
    put16(sps.size());
    out.insert(out.end(), sps.begin(), sps.end());
    out.push_back(static_cast<uint8_t>(ppsList.size()));
    for (const std::vector<uint8_t>& pps : ppsList) {
        put16(pps.size());
        out.insert(out.end(), pps.begin(), pps.end());
    }
    return out;
}
