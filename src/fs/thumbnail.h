// Thumbnails and media information with FFmpeg: the JPEG thumbnail of a
// photo or video (its first key frame, scaled), and a video's duration and
// picture size for the file service's information answers.
#pragma once

#include <cstddef>
#include <cstdint>

struct AVFrame;

// Writes a width x height JPEG of the first key frame of `input` to `output`
// (the aspect ratio is not kept). A key frame that decodes only with errors
// concealed gives no thumbnail. 0, or the negative FFmpeg code of the step
// that failed; -1 for bad arguments or an input that cannot be opened; -22 if
// a decoder context cannot be allocated. On failure no file is left at
// `output`.
int thumbnail_generate(const char* input, const char* output, int width, int height);

// Reads the container's duration in whole seconds (rounded at 5 ms below the
// next second) as decimal text into `dur` (left unchanged when the container
// gives no duration) and the first video stream's picture size into *width and
// *height (left unchanged when there is no video stream; either may be null).
// 0, a negative FFmpeg code if the file cannot be opened, -1 for bad arguments.
int thumbnail_get_meta(const char* path, char* dur, size_t durSize, int* width, int* height);

// Writes a container duration in microseconds as whole seconds ("%lld",
// after adding 5000 unless that would overflow) into `dur`. 0, or -1 (buffer
// unchanged) for an unknown (AV_NOPTS_VALUE) or negative duration.
int thumbnail_format_duration(int64_t durationUs, char* dur, size_t durSize);

// "h264", "hevc" or "mjpeg" for those FFmpeg codec ids; null (logged) for any
// other.
const char* thumbnail_get_codec_name_by_id(int codecId);

// Encodes `frame` (YUVJ420P) as a single JPEG at `output`. 0, or a negative
// code when a step failed; a partly written file is removed.
int Frame2JPG(const AVFrame* frame, const char* output);
