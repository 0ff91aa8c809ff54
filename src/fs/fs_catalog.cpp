#include "fs/fs_catalog.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "board/board.h"
#include "core/trace_log.h"
#include "fs/fs_context.h"
#include "fs/fs_wire.h"
#include "mp4/mp4_repair.h"
#include "mp4/mp4_writer.h"

namespace {

// True when the file was modified within the settle time: a recording being
// written right now is small in its first moments and must not be deleted.
bool recently_modified(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return true;
    return time(nullptr) - st.st_mtime < FS_VIDEO_SETTLE_SECONDS;
}

// True when the file holds a movie that plays as it stands (a complete
// movie header), whatever its size.
bool playable(const char* path) {
    const int fd = board_card_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    const Mp4RRead read = [fd](uint64_t offset, uint8_t* out, size_t size) {
        return board_card_pread(fd, out, size, static_cast<int64_t>(offset)) ==
               static_cast<ssize_t>(size);
    };
    Mp4RLayout layout;
    const bool complete =
        MP4R_ReadLayout(read, file_get_size(path), &layout) == 0 && MP4R_IsComplete(layout);
    board_card_close(fd);
    return complete;
}

// Unlinks the entries of a scan of `dir` that are hidden files or lie below
// a hidden directory.
void drop_hidden(const std::string& dir, file_list_node** head) {
    file_list_node** link = head;
    while (*link != nullptr) {
        file_list_node* node = *link;
        if (strncmp(node->path, dir.c_str(), dir.size()) != 0 ||
            strstr(node->path + dir.size(), "/.") != nullptr) {
            *link = node->next;
            node->next = nullptr;
            file_list_free(&node);
        } else {
            link = &node->next;
        }
    }
}

}  // namespace

bool fs_file_in_use(const char* path) {
    if (path == nullptr) return false;
    return MP4W_IsOpen(path) || fs_file_exist(PLR_MOV_JournalPath(path).c_str()) != 0;
}

file_list_node** fs_get_list(uint16_t uri_type) {
    switch (uri_type) {
        case FS_URI_PIC:
            return &fs_context.pic_list;
        case FS_URI_THUMB:
            return &fs_context.thumb_list;
        case FS_URI_VIDEO:
            return &fs_context.video_list;
        default:
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) unkown file type!!!", "__fs_get_list", __LINE__);
            return nullptr;
    }
}

int fs_file_check(uint16_t uri_type) {
    if (uri_type != FS_URI_VIDEO) return 0;
    file_list_node* list = nullptr;
    file_list_scan(board_path(FS_VIDEO_DIR).c_str(), &list);
    for (const file_list_node* n = list; n != nullptr; n = n->next) {
        if (FsFileSizeCheck(n->path) != 0) continue;
        if (recently_modified(n->path) || fs_file_in_use(n->path) || playable(n->path)) {
            plr_trace_logf(PLR_LOG_D, "%s(line:%d) small video %s kept: in use or playable",
                           __func__, __LINE__, n->name);
            continue;
        }
        file_remove(n->path);
    }
    file_list_free(&list);
    return 0;
}

int fs_scan_flist() {
    if (fs_dir_exist(board_path(FS_SD_ROOT).c_str()) == 0) return -1;
    fs_file_check(FS_URI_VIDEO);
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) scanning SD file list start!!!", __func__, __LINE__);
    file_list_node* pics = nullptr;
    file_list_node* thumbs = nullptr;
    file_list_node* videos = nullptr;
    // Scanned outside the lock, swapped in under it: searches of the running
    // mission never wait for the card.
    const std::pair<const char*, file_list_node**> scans[] = {
        {FS_PIC_DIR, &pics}, {FS_THUMB_DIR, &thumbs}, {FS_VIDEO_DIR, &videos}};
    for (const auto& [dir, list] : scans) {
        const std::string host = board_path(dir);
        file_list_scan_recurse(host.c_str(), list);
        drop_hidden(host, list);
    }
    {
        std::lock_guard<std::mutex> lock(fs_context.mission_lock);
        std::swap(fs_context.pic_list, pics);
        std::swap(fs_context.thumb_list, thumbs);
        std::swap(fs_context.video_list, videos);
    }
    file_list_free(&pics);
    file_list_free(&thumbs);
    file_list_free(&videos);
    plr_trace_logf(PLR_LOG_D, "%s(line:%d) scanning SD file list end!!!", __func__, __LINE__);
    return 0;
}

int fs_search(const char* name, uint16_t uri_type, char* path, size_t size) {
    if (name == nullptr || path == nullptr || size == 0) return -1;
    std::lock_guard<std::mutex> lock(fs_context.mission_lock);
    file_list_node** head = fs_get_list(uri_type);
    if (head == nullptr || *head == nullptr) return -1;
    const file_list_node* node = file_list_find(name, *head);
    if (node == nullptr) return -1;
    const size_t limit = size < FILE_LIST_PATH_SIZE ? size : FILE_LIST_PATH_SIZE;
    snprintf(path, limit, "%s", node->path);
    return 0;
}

int fs_lookup(const char* name, uint16_t uri_type, char* path, size_t size) {
    for (int pass = 0; pass < 2; ++pass) {
        if (fs_search(name, uri_type, path, size) == 0 && fs_file_exist(path) != 0) return 0;
        if (pass == 0) fs_scan_flist();
    }
    return -1;
}

int fs_append(const char* name, const char* path, uint16_t uri_type) {
    if (name == nullptr || path == nullptr) return -1;
    std::lock_guard<std::mutex> lock(fs_context.mission_lock);
    file_list_node** head = fs_get_list(uri_type);
    if (head == nullptr) return -1;
    file_list_node* node = file_list_new_node(name, path, uri_type);
    if (node == nullptr) return -1;
    return file_list_append(node, head);
}

int fs_delete(const char* name, uint16_t uri_type) {
    if (name == nullptr) return -1;
    std::lock_guard<std::mutex> lock(fs_context.mission_lock);
    file_list_node** head = fs_get_list(uri_type);
    if (head == nullptr) return -1;
    return file_delete(name, head);
}

void fs_catalog_free() {
    std::lock_guard<std::mutex> lock(fs_context.mission_lock);
    file_list_free(&fs_context.pic_list);
    file_list_free(&fs_context.thumb_list);
    file_list_free(&fs_context.video_list);
}
