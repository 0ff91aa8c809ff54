// The media catalogue: three lists of the card's media (photos, thumbnails,
// videos) held in the file service's context and rebuilt from the media
// directories at start, before every file list answer and when a lookup
// misses. Hidden files and directories (the recorder's journals) are no media. Names from the
// phone are only ever looked up here; the catalogue yields the full path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs/file_list.h"

inline constexpr const char* FS_SD_ROOT = "/tmp/SD0";
inline constexpr const char* FS_PIC_DIR = "/tmp/SD0/PLRMEDIA/PIC";
inline constexpr const char* FS_THUMB_DIR = "/tmp/SD0/PLRMEDIA/THUMB";
inline constexpr const char* FS_VIDEO_DIR = "/tmp/SD0/PLRMEDIA/VIDEO";

// A small video modified this recently may be a recording in its first
// moments (the recorder has it open and is writing): the rebuild leaves it.
inline constexpr int FS_VIDEO_SETTLE_SECONDS = 10;

// Rebuilds the three lists (deleting invalid videos first). 0, or -1 when the
// card's mount point does not exist (the old lists stay).
int fs_scan_flist();
// Address of the list head of a URI type, or null (logged) for another type.
file_list_node** fs_get_list(uint16_t uri_type);
// Copies the full path of the first entry named `name` in the list of
// `uri_type` (at most min(size, 512) bytes, terminated). 0, or -1 when not
// found or an argument is bad.
int fs_search(const char* name, uint16_t uri_type, char* path, size_t size);
// fs_search, but a miss, or a catalogued file that is no longer on the card,
// first rescans the card once: files recorded since the last list are found,
// files removed outside the service are not. 0 or -1 as fs_search.
int fs_lookup(const char* name, uint16_t uri_type, char* path, size_t size);
// True when the recorder has the file (host path) open, or its journal
// awaits a repair: it is not a complete movie yet and must not be deleted.
bool fs_file_in_use(const char* path);
// Appends an entry (type = the URI type) to the list of that type. 0 or -1.
int fs_append(const char* name, const char* path, uint16_t uri_type);
// Removes the named file from the card and its entry from the list. 0 (also
// for a name not in the list), -1 when the removal failed.
int fs_delete(const char* name, uint16_t uri_type);
// For the video type: deletes the leftovers among the videos, those of
// 512000 bytes or fewer that are closed (not in use, not modified in the
// last FS_VIDEO_SETTLE_SECONDS) and hold no playable movie. Returns 0.
int fs_file_check(uint16_t uri_type);
// Frees the three lists.
void fs_catalog_free();
