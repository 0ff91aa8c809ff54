#include "web/web_media.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "board/board.h"
#include "fs/file_list.h"
#include "fs/fs_catalog.h"
#include "fs/fs_context.h"
#include "fs/fs_wire.h"
#include "fs/thumbnail.h"

namespace {

constexpr int kThumbWidth = 160;
constexpr int kThumbHeight = 90;

// The picture size and duration of a video cost a demux; they are kept per
// path, size and time so that listing a card of long recordings stays cheap.
struct MetaKey {
    std::string path;
    uint64_t size;
    int64_t mtime;
    bool operator==(const MetaKey&) const = default;
};
struct MetaValue {
    int64_t durationSec;
    int width;
    int height;
};
std::mutex g_metaLock;
std::vector<std::pair<MetaKey, MetaValue>> g_meta;  // guarded by g_metaLock
constexpr size_t kMetaMax = 512;

bool stat_file(const char* path, uint64_t* size, int64_t* mtime) {
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<uint64_t>(st.st_size);
    *mtime = static_cast<int64_t>(st.st_mtime);
    return true;
}

MetaValue video_meta(const MetaKey& key) {
    {
        std::lock_guard lock(g_metaLock);
        for (const auto& [k, v] : g_meta) {
            if (k == key) return v;
        }
    }
    MetaValue v{-1, 0, 0};
    char dur[32] = "";
    if (thumbnail_get_meta(key.path.c_str(), dur, sizeof dur, &v.width, &v.height) == 0 &&
        dur[0] != '\0') {
        v.durationSec = strtoll(dur, nullptr, 10);
    }
    std::lock_guard lock(g_metaLock);
    if (g_meta.size() >= kMetaMax) g_meta.erase(g_meta.begin());
    g_meta.emplace_back(key, v);
    return v;
}

// The names and paths of one catalogue list, copied under the file
// service's lock (its missions search the same lists).
std::vector<std::pair<std::string, std::string>> catalogue_copy(uint16_t uriType) {
    std::vector<std::pair<std::string, std::string>> out;
    std::lock_guard lock(fs_context.mission_lock);
    file_list_node** head = fs_get_list(uriType);
    for (const file_list_node* n = head != nullptr ? *head : nullptr; n != nullptr; n = n->next) {
        out.emplace_back(n->name, n->path);
    }
    return out;
}

int media_type_of(const char* name) {
    const int type = FsGetFileType(name);
    return type == FS_FILE_TYPE_PHOTO || type == FS_FILE_TYPE_VIDEO ? type : -1;
}

}  // namespace

int web_media_list(WebMediaType type, std::vector<WebMediaEntry>* out) {
    if (out == nullptr) return -1;
    out->clear();
    if (fs_scan_flist() != 0) return -1;
    for (const auto& [name, path] : catalogue_copy(static_cast<uint16_t>(type))) {
        WebMediaEntry e{name, 0, 0, -1, 0, 0};
        if (!stat_file(path.c_str(), &e.size, &e.mtime)) continue;
        if (type == WEB_MEDIA_VIDEO) {
            const MetaValue v = video_meta({path, e.size, e.mtime});
            e.durationSec = v.durationSec;
            e.width = v.width;
            e.height = v.height;
        }
        out->push_back(std::move(e));
    }
    std::stable_sort(out->begin(), out->end(), [](const WebMediaEntry& a, const WebMediaEntry& b) {
        return a.mtime != b.mtime ? a.mtime > b.mtime : a.name > b.name;
    });
    return 0;
}

int web_media_find(const char* name, WebMediaFile* out) {
    if (name == nullptr || out == nullptr) return -1;
    const int type = media_type_of(name);
    if (type < 0) return -1;
    char path[FILE_LIST_PATH_SIZE];
    if (fs_search(name, static_cast<uint16_t>(type), path, sizeof path) != 0) {
        // A file recorded since the last scan is not listed yet.
        fs_scan_flist();
        if (fs_search(name, static_cast<uint16_t>(type), path, sizeof path) != 0) return -1;
    }
    if (!stat_file(path, &out->size, &out->mtime)) return -1;
    out->path = path;
    return 0;
}

int web_media_thumbnail(const char* name, WebMediaFile* out) {
    WebMediaFile media;
    if (out == nullptr || web_media_find(name, &media) != 0) return -1;
    char thumb[FILE_LIST_NAME_SIZE];
    snprintf(thumb, sizeof thumb, "%s", name);
    if (FsThumbnailNameConvert(thumb, sizeof thumb) != 0) return -1;
    char path[FILE_LIST_PATH_SIZE];
    if (fs_search(thumb, FS_URI_THUMB, path, sizeof path) == 0 &&
        stat_file(path, &out->size, &out->mtime) && out->size > 0) {
        out->path = path;
        return 0;
    }
    const std::string dir = board_path(FS_THUMB_DIR);
    mkdir(dir.c_str(), 0777);
    const std::string target = dir + "/" + thumb;
    // Made beside its final place and renamed: nobody sees half a JPEG.
    const std::string part = target + ".part";
    if (thumbnail_generate(media.path.c_str(), part.c_str(), kThumbWidth, kThumbHeight) != 0)
        return -1;
    if (rename(part.c_str(), target.c_str()) != 0) {
        remove(part.c_str());
        return -1;
    }
    if (fs_search(thumb, FS_URI_THUMB, path, sizeof path) != 0) {
        fs_append(thumb, target.c_str(), FS_URI_THUMB);
    }
    if (!stat_file(target.c_str(), &out->size, &out->mtime)) return -1;
    out->path = target;
    return 0;
}

int web_media_delete(const char* name) {
    WebMediaFile media;
    if (web_media_find(name, &media) != 0) return -1;
    if (fs_delete(name, static_cast<uint16_t>(media_type_of(name))) != 0) return -2;
    char thumb[FILE_LIST_NAME_SIZE];
    snprintf(thumb, sizeof thumb, "%s", name);
    if (FsThumbnailNameConvert(thumb, sizeof thumb) == 0) {
        fs_scan_flist();
        fs_delete(thumb, FS_URI_THUMB);
    }
    return 0;
}
