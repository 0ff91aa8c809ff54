// Reads a recorded video file back for tests: stream geometry, time base,
// packet durations and key flags, and the virtual camera's frame number of
// every decoded picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VideoProbe {
    bool opened = false;
    std::string codec;
    int width = 0;
    int height = 0;
    int timeBaseNum = 0;
    int timeBaseDen = 0;
    std::vector<int64_t> durations;     // per packet, in the stream's time base
    std::vector<bool> keyFlags;         // per packet
    std::vector<int64_t> frameNumbers;  // per decoded picture; -1 where unreadable
    std::vector<uint8_t> lastLuma;      // keepLastLuma: the last picture, width x height
};

// Probes (and, with decode, decodes) the first video stream of the file.
VideoProbe probe_video(const std::string& path, bool decode, bool keepLastLuma = false);
