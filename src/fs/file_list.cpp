// Media catalogue building blocks: file lists filled by directory scans and
// the plain file operations on the card.
#include "fs/file_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/trace_log.h"

// Card files pass 4 GiB: the opens, sizes and seeks here need 64-bit file offsets, also on
// the 32-bit board (_FILE_OFFSET_BITS=64 is set for the whole build).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace {

// Copies `src` into a field of `size` bytes, cut to size - 1 characters.
void copy_field(char* dst, size_t size, const char* src) {
    const size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

file_list_node* list_tail(file_list_node* head) {
    if (head == nullptr) return nullptr;
    while (head->next != nullptr) head = head->next;
    return head;
}

// A scan in progress: where the next node goes.
struct ScanState {
    file_list_node** head;
    file_list_node* tail;
};

void scan_append(ScanState* st, file_list_node* node) {
    if (st->tail == nullptr) {
        *st->head = node;
    } else {
        st->tail->next = node;
    }
    st->tail = node;
}

// Directory entry type, asking the file system when readdir does not tell.
unsigned char entry_type(int dirFd, const dirent* ent) {
    if (ent->d_type != DT_UNKNOWN) return ent->d_type;
    struct stat st {};
    if (fstatat(dirFd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
    if (S_ISREG(st.st_mode)) return DT_REG;
    if (S_ISDIR(st.st_mode)) return DT_DIR;
    if (S_ISLNK(st.st_mode)) return DT_LNK;
    return DT_UNKNOWN;
}

// Scans the open directory `dir` (whose path is `path`) into the list; takes
// ownership of `dir`. With `depth` >= 0 it descends into subdirectories, one
// level less each time, never through symbolic links.
void scan_dir(DIR* dir, const char* path, ScanState* st, int depth, const char* func) {
    const int dirFd = dirfd(dir);
    char child[FILE_LIST_PATH_SIZE];
    while (const dirent* ent = readdir(dir)) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
        const unsigned char type = entry_type(dirFd, ent);
        if (type != DT_REG && type != DT_DIR && type != DT_LNK) continue;
        const int n = snprintf(child, sizeof child, "%s/%s", path, ent->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof child) {
            // A cut path would name another file: leave the entry out.
            plr_trace_logf(PLR_LOG_E, "%s(line=%d):path too long, skipped:%s/%s", func, __LINE__,
                           path, ent->d_name);
            continue;
        }
        if (type == DT_LNK) {
            plr_trace_logf(PLR_LOG_D, "%s l_name:%s/%s", func, path, ent->d_name);
            continue;
        }
        if (type == DT_DIR) {
            plr_trace_logf(PLR_LOG_D, "%s d_name:%s/%s", func, path, ent->d_name);
            if (depth < 0) continue;
            if (depth == 0) {
                plr_trace_logf(PLR_LOG_E, "%s(line=%d):directory too deep, skipped:%s", func,
                               __LINE__, child);
                continue;
            }
            const int fd =
                openat(dirFd, ent->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            DIR* sub = fd < 0 ? nullptr : fdopendir(fd);
            if (sub == nullptr) {
                if (fd >= 0) close(fd);
                plr_trace_logf(PLR_LOG_E, "%s Open dir error...", child);
                continue;
            }
            scan_dir(sub, child, st, depth - 1, func);
            continue;
        }
        file_list_node* node = file_list_new_node(ent->d_name, child, FILE_LIST_TYPE_REGULAR);
        if (node == nullptr) break;
        scan_append(st, node);
    }
    closedir(dir);
}

}  // namespace

file_list_node* file_list_new_node(const char* name, const char* path, uint16_t type) {
    if (name == nullptr || path == nullptr) return nullptr;
    auto* node = static_cast<file_list_node*>(calloc(1, sizeof(file_list_node)));
    if (node == nullptr) return nullptr;
    node->type = type;
    copy_field(node->path, sizeof node->path, path);
    copy_field(node->name, sizeof node->name, name);
    return node;
}

file_list_node* file_list_scan(const char* dir, file_list_node** head) {
    if (dir == nullptr || head == nullptr) return nullptr;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s(line=%d):Open dir error...%s", __func__, __LINE__, dir);
        return nullptr;
    }
    ScanState st{head, list_tail(*head)};
    scan_dir(d, dir, &st, -1, __func__);
    return st.tail;
}

file_list_node* file_list_scan_recurse(const char* dir, file_list_node** head) {
    if (dir == nullptr || head == nullptr) return nullptr;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        plr_trace_logf(PLR_LOG_E, "%s Open dir error...", dir);
        return nullptr;
    }
    ScanState st{head, list_tail(*head)};
    scan_dir(d, dir, &st, FILE_LIST_MAX_DEPTH, __func__);
    return st.tail;
}

file_list_node* file_list_find(const char* name, file_list_node* list) {
    if (name == nullptr) return nullptr;
    for (file_list_node* n = list; n != nullptr; n = n->next) {
        if (strcmp(n->name, name) == 0) return n;
    }
    return nullptr;
}

int file_list_append(file_list_node* node, file_list_node** head) {
    if (node == nullptr || head == nullptr) return -1;
    node->next = nullptr;
    file_list_node* tail = list_tail(*head);
    if (tail == nullptr) {
        *head = node;
    } else {
        tail->next = node;
    }
    return 0;
}

int file_list_delete(const char* name, file_list_node** head) {
    if (name == nullptr || head == nullptr) return -1;
    for (file_list_node** link = head; *link != nullptr; link = &(*link)->next) {
        if (strcmp((*link)->name, name) == 0) {
            file_list_node* node = *link;
            *link = node->next;
            free(node);
            return 0;
        }
    }
    return -1;
}

int file_list_free(file_list_node** head) {
    if (head == nullptr || *head == nullptr) return -1;
    file_list_node* n = *head;
    while (n != nullptr) {
        file_list_node* next = n->next;
        free(n);
        n = next;
    }
    *head = nullptr;
    return 0;
}

int file_list_count(const file_list_node* first) {
    if (first == nullptr) return -1;
    int count = 0;
    for (; first != nullptr && count < INT_MAX; first = first->next) ++count;
    return count;
}

int file_delete(const char* name, file_list_node** head) {
    if (name == nullptr || head == nullptr) return -1;
    for (file_list_node** link = head; *link != nullptr; link = &(*link)->next) {
        file_list_node* node = *link;
        if (strcmp(node->name, name) != 0) continue;
        if (file_remove(node->path) != 0) return -1;
        plr_trace_logf(PLR_LOG_D, "%s(line=%d):remove %s success!!", __func__, __LINE__,
                       node->path);
        *link = node->next;
        free(node);
        return 0;
    }
    return 0;
}

uint64_t file_get_size(const char* path) {
    if (path == nullptr) return FILE_SIZE_UNKNOWN;
    struct stat st {};
    if (stat(path, &st) != 0 || st.st_size < 0) return FILE_SIZE_UNKNOWN;
    return static_cast<uint64_t>(st.st_size);
}

FILE* file_open(const char* path) {
    if (path == nullptr) return nullptr;
    return fopen(path, "rb");
}

long file_read(FILE* fp, void* buf, size_t size) {
    if (fp == nullptr || buf == nullptr) return -1;
    if (size > static_cast<size_t>(LONG_MAX)) size = static_cast<size_t>(LONG_MAX);
    const size_t n = fread(buf, 1, size, fp);
    if (n > 0) return static_cast<long>(n);
    return ferror(fp) ? -1 : 0;
}

int file_seek(FILE* fp, uint64_t offset) {
    if (fp == nullptr) return -1;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    const off_t off = static_cast<off_t>(offset);
    if (static_cast<uint64_t>(off) != offset) return -1;  // beyond this target's off_t
    return fseeko(fp, off, SEEK_SET) == 0 ? 0 : -1;
}

int file_close(FILE* fp) {
    if (fp == nullptr) return -1;
    return fclose(fp) == 0 ? 0 : -1;
}

int file_remove(const char* path) {
    if (path == nullptr) return -1;
    if (remove(path) != 0) {
        plr_trace_logf(PLR_LOG_D, "%s(line=%d):remove failed!!%s\n", __func__, __LINE__,
                       strerror(errno));
        return -1;
    }
    return 0;
}

int FsGetFileType(const char* name) {
    if (name == nullptr) return FS_FILE_TYPE_UNKNOWN;
    if (strstr(name, "jpg") != nullptr || strstr(name, "JPG") != nullptr ||
        strstr(name, "JPEG") != nullptr) {
        return FS_FILE_TYPE_PHOTO;
    }
    if (strstr(name, "mp4") != nullptr || strstr(name, "MP4") != nullptr) return FS_FILE_TYPE_VIDEO;
    return FS_FILE_TYPE_UNKNOWN;
}

int FsThumbnailNameConvert(char* name, size_t size) {
    if (name == nullptr || size == 0) return -1;
    const size_t len = strnlen(name, size);
    if (len == size) return -1;  // not terminated inside its buffer
    const char* dot = strrchr(name, '.');
    if (dot == nullptr) return -1;
    const int type = FsGetFileType(name);
    const char* mark;
    if (type == FS_FILE_TYPE_PHOTO) {
        mark = "p";
    } else if (type == FS_FILE_TYPE_VIDEO) {
        mark = "v";
    } else {
        return -1;
    }
    char suffix[16];
    const int n = snprintf(suffix, sizeof suffix, "_%s.JPG", mark);
    const size_t base = static_cast<size_t>(dot - name);
    if (n < 0 || base + static_cast<size_t>(n) + 1 > size) return -1;
    memcpy(name + base, suffix, static_cast<size_t>(n) + 1);
    return 0;
}

int FsFileSizeCheck(const char* path) {
    if (path == nullptr) return 0;
    return file_get_size(path) > FS_VIDEO_MIN_VALID_SIZE ? 1 : 0;
}

int fs_file_exist(const char* path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

int fs_dir_exist(const char* path) {
    return fs_file_exist(path);
}
