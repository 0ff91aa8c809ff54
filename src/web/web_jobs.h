// The web server's slow work off its service thread: listing the card
// (a rescan and a demux per new video), making thumbnails, deleting. One
// worker thread runs the jobs in order; the service thread takes the
// results and answers, so a thumbnail being made holds back no other
// client and no live view.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "web/web_media.h"

struct WebJobResult {
    int status;         // HTTP status
    std::string json;   // the body, when not a file
    bool isFile;        // send `file` (with ranges) instead
    WebMediaFile file;
    const char* mime;
};
using WebJob = std::function<WebJobResult()>;

inline constexpr size_t WEB_JOBS_MAX = 16;  // jobs waiting at most

// Starts the worker; `wake` is called (from the worker) after each job. 0 or -1.
int web_jobs_start(void (*wake)());
// Stops the worker after the job in progress; waiting jobs are dropped.
void web_jobs_stop();
// Queues a job under `serial`. False when WEB_JOBS_MAX wait already.
bool web_jobs_post(uint64_t serial, WebJob job);
// Moves the finished jobs' results into *out.
void web_jobs_take(std::vector<std::pair<uint64_t, WebJobResult>>* out);
