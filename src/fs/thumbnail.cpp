// Thumbnails and media information with FFmpeg.
#include "fs/thumbnail.h"

int thumbnail_generate(const char*, const char*, int, int) { return -1; }
int thumbnail_get_meta(const char*, char*, size_t, int*, int*) { return -1; }
const char* thumbnail_get_codec_name_by_id(int) { return nullptr; }
int Frame2JPG(const AVFrame*, const char*) { return -1; }
