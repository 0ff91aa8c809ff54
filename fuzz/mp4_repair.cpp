// The recording repair over damaged files. Input: a 16-bit big-endian journal
// length, the journal's bytes, then the recording's bytes. Both are written to
// the card of this process and repaired; a recording reported repaired must
// then load in the MP4 index reader that playback uses. The layout and sample
// walks also run over the bytes in memory.
#include <fcntl.h>

#include <cstring>
#include <fstream>

#include "fuzz_harness.h"
#include "mp4/mp4_index.h"
#include "mp4/mp4_repair.h"

namespace {

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) abort();
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    if (size < 2) return 0;
    const size_t journalLen =
        std::min<size_t>(size - 2, static_cast<size_t>(data[0]) << 8 | data[1]);
    const uint8_t* journal = data + 2;
    const uint8_t* file = journal + journalLen;
    const size_t fileLen = size - 2 - journalLen;

    // In memory.
    const Mp4RRead read = [&](uint64_t offset, uint8_t* out, size_t n) {
        if (offset > fileLen || n > fileLen - offset) return false;
        memcpy(out, file + offset, n);
        return true;
    };
    Mp4RLayout layout;
    if (MP4R_ReadLayout(read, fileLen, &layout) == 0 && layout.mdatOffset != 0) {
        for (const Mp4RSample& s : MP4R_ScanSamples(read, layout.dataOffset, layout.dataLimit)) {
            if (s.offset < layout.dataOffset || s.offset + s.size > layout.dataLimit) abort();
        }
    }

    // On the card.
    const fuzz::TempRoot& root = fuzz::TempRoot::get();
    const std::string video = root.path("/REC0001.MP4");
    const std::string jnl = root.path("/REC0001.MP4.jnl");
    write_file(video, file, fileLen);
    write_file(jnl, journal, journalLen);
    uint32_t samples = 0;
    const Mp4RResult result = MP4R_RepairFile(video.c_str(), jnl.c_str(), &samples);
    if (result == MP4R_REPAIRED) {
        const std::vector<uint8_t> repaired = read_file(video);
        MovSource src{};
        mov_source_memory(&repaired, &src);
        MovHeader hdr;
        MdiaContext* ctx = nullptr;
        mdia_alloc_context(&ctx);
        const bool plays = mov_get_header_atom(&src, &hdr) == 0 &&
                           mdia_build_index(&hdr, ctx) == 0 && ctx->sample_count == samples;
        mdia_free_context(ctx);
        if (!plays) abort();
    }
    unlink(video.c_str());
    unlink(jnl.c_str());
    return 0;
}
