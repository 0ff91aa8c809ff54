// The media catalogue's building blocks: a singly linked list of files (type,
// full path, name) filled by scanning directories, and the plain file
// operations the file service and the firmware upgrade use. Every function
// takes full host paths; callers map board paths with board_path().
//
// Results follow the system's convention: 0 for success, -1 for failure or a
// null argument, unless a function says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Sizes of a node's text fields, NUL included: longer texts are cut to 511
// characters.
inline constexpr size_t FILE_LIST_PATH_SIZE = 512;
inline constexpr size_t FILE_LIST_NAME_SIZE = 512;

// Node type of entries found by a scan (the directory entry type of a regular
// file). Entries added by the file service carry their URI type instead.
inline constexpr uint16_t FILE_LIST_TYPE_REGULAR = 8;

// Deepest directory level file_list_scan_recurse descends to below its start.
inline constexpr int FILE_LIST_MAX_DEPTH = 16;

// Media types by name (FsGetFileType); the photo and video values are also
// the URI types of the file service.
inline constexpr int FS_FILE_TYPE_PHOTO = 1;
inline constexpr int FS_FILE_TYPE_VIDEO = 3;
inline constexpr int FS_FILE_TYPE_UNKNOWN = 4;

// Videos of this many bytes or fewer are not valid recordings.
inline constexpr uint64_t FS_VIDEO_MIN_VALID_SIZE = 512000;

// Returned by file_get_size for a path that cannot be examined.
inline constexpr uint64_t FILE_SIZE_UNKNOWN = UINT64_MAX;

// One file of a list, on the heap. A list is a pointer to its first node
// (null when empty), in insertion order.
struct file_list_node {
    uint16_t type;
    char path[FILE_LIST_PATH_SIZE];  // full path, NUL-terminated
    char name[FILE_LIST_NAME_SIZE];  // name without directory, NUL-terminated
    file_list_node* next;
};

// Allocates a node with `name` and `path` (each cut to 511 characters) and
// `type`; null when out of memory or an argument is null.
file_list_node* file_list_new_node(const char* name, const char* path, uint16_t type);

// Appends the regular files of `dir` (not descending) at the tail of *head in
// the order the file system returns them. Returns the last node of the list,
// or null when the directory cannot be opened or the list stays empty.
file_list_node* file_list_scan(const char* dir, file_list_node** head);

// The same, descending into subdirectories at the place they are met, so that
// their files follow in place. Symbolic links are logged and not followed;
// depth is bounded by FILE_LIST_MAX_DEPTH.
file_list_node* file_list_scan_recurse(const char* dir, file_list_node** head);

// The first node named `name`, or null.
file_list_node* file_list_find(const char* name, file_list_node* list);

// Links `node` (its next is cleared) at the tail of *head.
int file_list_append(file_list_node* node, file_list_node** head);

// Unlinks and frees the first node named `name`; the disk is not touched.
// 0 when a node was removed, -1 when none has that name.
int file_list_delete(const char* name, file_list_node** head);

// Frees every node and empties *head; -1 for an empty list.
int file_list_free(file_list_node** head);

// Number of nodes from `first` on; -1 for a null (empty) list.
int file_list_count(const file_list_node* first);

// Removes the first file named `name` from the disk and, when that worked,
// from the list. 0 (also when no node has that name), -1 when the removal
// failed (the node stays).
int file_delete(const char* name, file_list_node** head);

// Size in bytes, or FILE_SIZE_UNKNOWN when the path cannot be examined.
uint64_t file_get_size(const char* path);

// Binary reading of a file.
FILE* file_open(const char* path);  // null on failure
// Reads up to `size` bytes: the count read (> 0), 0 at the end of the file,
// -1 on a read error or a null argument.
long file_read(FILE* fp, void* buf, size_t size);
// Seeks to `offset` bytes from the start (64-bit offsets on every target).
int file_seek(FILE* fp, uint64_t offset);
int file_close(FILE* fp);
// Deletes a file; logs "remove failed!!<reason>" on failure.
int file_remove(const char* path);

// FS_FILE_TYPE_PHOTO when the name contains "jpg", "JPG" or "JPEG", else
// FS_FILE_TYPE_VIDEO when it contains "mp4" or "MP4", else (and for null)
// FS_FILE_TYPE_UNKNOWN.
int FsGetFileType(const char* name);

// Turns the media file name in `name` (a buffer of `size` bytes) into its
// thumbnail name in place: the part before the last "." followed by "_p.JPG"
// for a photo or "_v.JPG" for a video. -1 (name unchanged) when the name has
// no ".", its type is unknown or the result does not fit.
int FsThumbnailNameConvert(char* name, size_t size);

// 1 when the file is a valid video by size (more than 512000 bytes; a size
// that cannot be read counts as valid, so it is never deleted), 0 otherwise
// and for null.
int FsFileSizeCheck(const char* path);

// 1 when the path exists (of any kind), else 0.
int fs_dir_exist(const char* path);
int fs_file_exist(const char* path);
