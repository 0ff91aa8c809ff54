#include "cam2/cam2_images.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "board/board.h"
#include "core/trace_log.h"

// One line a photo: "index time_utc_us lat lon alt_mm path". A line cut by a
// power cut does not parse and is skipped; the path is the rest of the line.
Cam2ImageLog::Cam2ImageLog(std::string path) : path_(std::move(path)) {
    std::ifstream in(board_path(path_));
    std::string line;
    bool damaged = false;
    while (std::getline(in, line)) {
        damaged = damaged || in.eof();  // the last line lacks its line break
        std::istringstream fields(line);
        Cam2Image image;
        if (!(fields >> image.index >> image.time_utc_us >> image.lat >> image.lon >>
              image.alt_mm)) {
            damaged = true;
            continue;
        }
        fields >> std::ws;
        std::getline(fields, image.path);
        if (image.path.empty() || image.index != static_cast<int32_t>(images_.size())) {
            damaged = true;
            continue;
        }
        images_.push_back(std::move(image));
    }
    in.close();
    // Written afresh without the damaged lines, so that the next line does
    // not land behind a cut one.
    if (damaged) {
        if (truncate(board_path(path_).c_str(), 0) != 0)
            PLR_TRACE(PLR_LOG_E, "image log %s not repaired: %s", path_.c_str(), strerror(errno));
        for (const Cam2Image& image : images_) save_line(image);
    }
}

Cam2Image Cam2ImageLog::add(uint64_t time_utc_us, int32_t lat, int32_t lon, int32_t alt_mm,
                            const std::string& path) {
    std::lock_guard lock(lock_);
    Cam2Image image{static_cast<int32_t>(images_.size()), time_utc_us, lat, lon, alt_mm, path};
    images_.push_back(image);
    save_line(image);
    return image;
}

std::optional<Cam2Image> Cam2ImageLog::find(int32_t index) const {
    std::lock_guard lock(lock_);
    if (index < 0 || index >= static_cast<int32_t>(images_.size())) return std::nullopt;
    return images_[static_cast<size_t>(index)];
}

int32_t Cam2ImageLog::count() const {
    std::lock_guard lock(lock_);
    return static_cast<int32_t>(images_.size());
}

void Cam2ImageLog::clear() {
    std::lock_guard lock(lock_);
    images_.clear();
    if (truncate(board_path(path_).c_str(), 0) != 0 && errno != ENOENT)
        PLR_TRACE(PLR_LOG_E, "image log %s not emptied: %s", path_.c_str(), strerror(errno));
}

void Cam2ImageLog::save_line(const Cam2Image& image) const {
    char line[512];
    const int n = snprintf(line, sizeof line, "%" PRId32 " %" PRIu64 " %" PRId32 " %" PRId32
                                              " %" PRId32 " %s\n",
                           image.index, image.time_utc_us, image.lat, image.lon, image.alt_mm,
                           image.path.c_str());
    const int fd = open(board_path(path_).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && n > 0 && n < static_cast<int>(sizeof line) &&
              write(fd, line, static_cast<size_t>(n)) == n;
    // The index must survive a power cut: a photo's index is never given twice.
    if (ok) ok = fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) PLR_TRACE(PLR_LOG_E, "image log %s not written: %s", path_.c_str(), strerror(errno));
}
