// The web front end's view of the card's media: the file service's catalogue
// listed, looked up and pruned, and its thumbnails made on demand. Names
// from a browser are only ever looked up in the catalogue; a name that is not
// there (a "../" path among them) finds nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum WebMediaType : int { WEB_MEDIA_PHOTO = 1, WEB_MEDIA_VIDEO = 3 };

struct WebMediaEntry {
    std::string name;
    uint64_t size;
    int64_t mtime;         // seconds since the epoch
    int64_t durationSec;   // videos: whole seconds, -1 when unknown
    int width;             // videos: picture size, 0 when unknown
    int height;
};

// Rebuilds the catalogue and lists the media of one type, newest first.
// 0, or -1 when the card is not there.
int web_media_list(WebMediaType type, std::vector<WebMediaEntry>* out);

// A media file by name: its full path, size and modification time. 0, or -1
// for a name the catalogue does not hold (photos and videos are searched).
struct WebMediaFile {
    std::string path;
    uint64_t size;
    int64_t mtime;
};
int web_media_find(const char* name, WebMediaFile* out);

// The thumbnail of a media file (made and added to the catalogue when it is
// missing). 0, or -1 for an unknown name or a thumbnail that cannot be made.
int web_media_thumbnail(const char* name, WebMediaFile* out);

// Removes a media file and its thumbnail from the card and the catalogue.
// 0, -1 for an unknown name, -2 when the removal failed.
int web_media_delete(const char* name);
