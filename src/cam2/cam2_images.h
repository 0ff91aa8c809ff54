// The log of the photos the camera took, for ground stations: each photo gets
// the next image index (from 0), whatever link asked for it, and keeps its
// time, position and card path so that a station can ask for it again by
// index. The log is a text file on the board's data partition, so indices go
// on after a restart; only a card format empties it (the photos are gone).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct Cam2Image {
    int32_t index = 0;
    uint64_t time_utc_us = 0;
    int32_t lat = 0;  // degrees * 1e7
    int32_t lon = 0;
    int32_t alt_mm = 0;
    std::string path;  // on the card, as the camera wrote it
};

class Cam2ImageLog {
public:
    // Loads the log at `path` (a board path); a missing or unreadable file is
    // an empty log, and lines that do not parse are skipped.
    explicit Cam2ImageLog(std::string path);

    // Appends a photo under the next index and returns its record.
    Cam2Image add(uint64_t time_utc_us, int32_t lat, int32_t lon, int32_t alt_mm,
                  const std::string& path);
    std::optional<Cam2Image> find(int32_t index) const;
    // The number of photos: also the next index.
    int32_t count() const;
    // Empties the log (after a card format).
    void clear();

private:
    void save_line(const Cam2Image& image) const;

    std::string path_;
    mutable std::mutex lock_;
    std::vector<Cam2Image> images_;
};
