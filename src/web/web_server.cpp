#include "web/web_server.h"

#include <fcntl.h>
#include <libwebsockets.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "board/board.h"
#include "core/ccl.h"
#include "core/trace_log.h"
#include "web/web_camera.h"
#include "web/web_http.h"
#include "web/web_jobs.h"
#include "web/web_live.h"
#include "web/web_media.h"
#include "web/web_page.h"

namespace {

constexpr size_t kBodyMax = 4096;          // request bodies (commands, settings)
constexpr unsigned short kHeaderMax = 4096;  // request header bytes
constexpr size_t kChunk = 64 * 1024;       // bytes of a download per write
constexpr size_t kEventsQueued = 64;       // messages waiting for one events client
constexpr int kTickMs = 100;
constexpr int64_t kCommandWaitMs = 10000;  // the camera's answer to a command

enum class Kind { Http, Events, Live };

// One connection's state, kept by its wsi on the service thread.
struct Session {
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Kind kind = Kind::Http;
    // HTTP: the answer being sent.
    std::string body;
    size_t bodyAt = 0;
    int fd = -1;
    uint64_t fileAt = 0;
    uint64_t fileEnd = 0;  // one past the last byte to send
    // HTTP: the request being read.
    std::string method;
    std::string uri;
    std::string request;
    std::string range;        // the Range header
    std::string ifNoneMatch;  // the If-None-Match header
    bool tooLarge = false;
    uint64_t job = 0;  // the worker's job this request waits for, 0 for none
    // HTTP: a command waiting for the camera's answer.
    WebCommandResult pending{0, -1, -1, ""};
    int64_t pendingUntil = 0;
    // Events: messages to send.
    std::deque<std::string> outbox;
    // Live view.
    uint64_t cursor = 0;
    uint32_t sentGen = 0;
    bool infoSent = false;
    std::shared_ptr<const WebLiveFragment> held;  // a fragment waiting for its init

    ~Session() {
        if (fd >= 0) close(fd);
    }
};

struct Server {
    std::atomic<lws_context*> context{nullptr};
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<uint16_t> port{0};
    // Service thread only:
    std::unordered_map<lws*, std::unique_ptr<Session>> sessions;
    int connections = 0;  // accepted and not yet destroyed
    std::unordered_set<lws*> counted;  // the accepted connections
    lws_sorted_usec_list_t tick{};
    int ticks = 0;
    std::string lastStatus;
    uint64_t jobSerial = 0;
};
Server g_server;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void wake() {
    if (lws_context* c = g_server.context.load(); c != nullptr) lws_cancel_service(c);
}

std::string header(lws* wsi, lws_token_indexes token) {
    const int len = lws_hdr_total_length(wsi, token);
    if (len <= 0) return "";
    std::string value(static_cast<size_t>(len) + 1, '\0');
    if (lws_hdr_copy(wsi, value.data(), len + 1, token) < 0) return "";
    value.resize(static_cast<size_t>(len));
    return value;
}

bool origin_ok(lws* wsi) {
    const std::string origin = header(wsi, WSI_TOKEN_ORIGIN);
    const std::string host = header(wsi, WSI_TOKEN_HOST);
    return web_origin_allowed(origin.c_str(), host.c_str());
}

// Writes the status line and headers of an answer. 0, or -1 to close.
int send_headers(lws* wsi, int status, const char* type, uint64_t length,
                 const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    uint8_t buf[LWS_PRE + 1024];
    uint8_t* start = buf + LWS_PRE;
    uint8_t* p = start;
    uint8_t* end = buf + sizeof buf - 1;
    if (lws_add_http_common_headers(wsi, static_cast<unsigned>(status), type,
                                    static_cast<lws_filepos_t>(length), &p, end) != 0)
        return -1;
    const std::pair<std::string, std::string> always[] = {{"cache-control:", "no-store"}};
    for (const auto& list : {std::vector(std::begin(always), std::end(always)), extra}) {
        for (const auto& [name, value] : list) {
            if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name.c_str()),
                                            reinterpret_cast<const unsigned char*>(value.c_str()),
                                            static_cast<int>(value.size()), &p, end) != 0)
                return -1;
        }
    }
    return lws_finalize_write_http_header(wsi, start, &p, end) != 0 ? -1 : 0;
}

// Answers with a whole text body (sent on the next writeable callbacks).
int answer(lws* wsi, Session* s, int status, const char* type, std::string body) {
    s->body = std::move(body);
    s->bodyAt = 0;
    if (send_headers(wsi, status, type, s->body.size()) != 0) return -1;
    lws_callback_on_writable(wsi);
    return 0;
}

int answer_json(lws* wsi, Session* s, int status, std::string json) {
    return answer(wsi, s, status, "application/json", std::move(json));
}

std::string error_json(const std::string& reason) {
    std::string json = "{\"error\":\"";
    web_json_escape(reason.c_str(), &json);
    json += "\"}";
    return json;
}

// A refusal: the status with the reason as {"error": "..."}.
int answer_error(lws* wsi, Session* s, int status, const std::string& reason) {
    return answer_json(wsi, s, status, error_json(reason));
}

int answer_command(lws* wsi, Session* s, const WebCommandResult& r) {
    if (r.waitEvent >= 0) {
        s->pending = r;
        s->pendingUntil = now_ms() + kCommandWaitMs;
        return 0;  // answered when the camera's notification arrives
    }
    if (r.status >= 200 && r.status < 300) return answer_json(wsi, s, r.status, "{\"ok\":true}");
    return answer_error(wsi, s, r.status, r.text);
}

std::string media_json(WebMediaType type) {
    std::vector<WebMediaEntry> list;
    if (web_media_list(type, &list) != 0) return "";
    std::string out = "{\"type\":\"";
    out += type == WEB_MEDIA_VIDEO ? "video" : "photo";
    out += "\",\"files\":[";
    char buf[160];
    for (size_t i = 0; i < list.size(); ++i) {
        const WebMediaEntry& e = list[i];
        out += i == 0 ? "{\"name\":\"" : ",{\"name\":\"";
        web_json_escape(e.name.c_str(), &out);
        snprintf(buf, sizeof buf, "\",\"size\":%" PRIu64 ",\"date\":%" PRId64, e.size, e.mtime);
        out += buf;
        if (type == WEB_MEDIA_VIDEO) {
            snprintf(buf, sizeof buf, ",\"duration\":%" PRId64 ",\"width\":%d,\"height\":%d",
                     e.durationSec, e.width, e.height);
            out += buf;
        }
        out += "}";
    }
    out += "]}";
    return out;
}

// Sends a media file or its thumbnail: the whole file or the requested range.
int answer_file(lws* wsi, Session* s, const WebMediaFile& file, const char* type) {
    const std::string etag = web_etag(file.size, file.mtime);
    if (s->ifNoneMatch == etag) {
        s->body.clear();
        if (send_headers(wsi, 304, nullptr, 0, {{"etag:", etag}}) != 0) return -1;
        lws_callback_on_writable(wsi);
        return 0;
    }
    WebByteRange range{0, file.size == 0 ? 0 : file.size - 1};
    const WebRangeResult rr =
        web_parse_range(s->range.empty() ? nullptr : s->range.c_str(), file.size, &range);
    if (rr == WEB_RANGE_UNSATISFIABLE) {
        s->body.clear();
        char cr[48];
        snprintf(cr, sizeof cr, "bytes */%" PRIu64, file.size);
        if (send_headers(wsi, 416, nullptr, 0, {{"content-range:", cr}}) != 0) return -1;
        lws_callback_on_writable(wsi);
        return 0;
    }
    s->fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (s->fd < 0) return answer_error(wsi, s, 404, "no such file");
    s->fileAt = range.first;
    s->fileEnd = file.size == 0 ? 0 : range.last + 1;
    std::vector<std::pair<std::string, std::string>> extra = {{"etag:", etag},
                                                              {"accept-ranges:", "bytes"}};
    int status = 200;
    if (rr == WEB_RANGE_PARTIAL) {
        status = 206;
        char cr[80];
        snprintf(cr, sizeof cr, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, range.first, range.last,
                 file.size);
        extra.emplace_back("content-range:", cr);
    }
    if (send_headers(wsi, status, type, s->fileEnd - s->fileAt, extra) != 0) return -1;
    lws_callback_on_writable(wsi);
    return 0;
}

const char* media_mime(const std::string& name) {
    return name.find(".mp4") != std::string::npos || name.find(".MP4") != std::string::npos
               ? "video/mp4"
               : "image/jpeg";
}

// Hands the request's slow part to the worker; answered when it is done.
int post_job(lws* wsi, Session* s, WebJob job) {
    const uint64_t serial = ++g_server.jobSerial;
    if (!web_jobs_post(serial, std::move(job))) return answer_error(wsi, s, 503, "busy, try again");
    s->job = serial;
    return 0;
}

// Routes one complete request.
int handle_request(lws* wsi, Session* s) {
    const std::string& m = s->method;
    const std::string& uri = s->uri;
    if (s->tooLarge) return answer_error(wsi, s, 413, "request body too large");
    const bool write = m != "GET";
    if (write && !origin_ok(wsi)) return answer_error(wsi, s, 403, "foreign origin");
    if (m == "GET" && uri == "/api/status") {
        return answer_json(wsi, s, 200, web_camera_status_json());
    }
    if (m == "GET" && uri == "/api/settings") {
        return answer_json(wsi, s, 200, web_camera_settings_json());
    }
    if (m == "PUT" && uri == "/api/settings") {
        return answer_command(wsi, s, web_camera_set(s->request.c_str()));
    }
    if (m == "GET" && uri == "/api/track") return answer_json(wsi, s, 200, web_camera_track_json());
    if (m == "GET" && uri == "/api/media") {
        char arg[32] = "";
        const char* type = lws_get_urlarg_by_name(wsi, "type=", arg, sizeof arg);
        if (type == nullptr) type = "video";
        const bool video = strcmp(type, "video") == 0;
        if (!video && strcmp(type, "photo") != 0)
            return answer_error(wsi, s, 400, "type takes video or photo");
        const WebMediaType t = video ? WEB_MEDIA_VIDEO : WEB_MEDIA_PHOTO;
        return post_job(wsi, s, [t] {
            std::string json = media_json(t);
            if (json.empty()) return WebJobResult{503, error_json("no card"), false, {}, nullptr};
            return WebJobResult{200, std::move(json), false, {}, nullptr};
        });
    }
    if (m == "POST" && uri == "/api/record") {
        if (s->request == "start") return answer_command(wsi, s, web_camera_command(WEB_CMD_RECORD_START));
        if (s->request == "stop") return answer_command(wsi, s, web_camera_command(WEB_CMD_RECORD_STOP));
        return answer_error(wsi, s, 400, "the body takes start or stop");
    }
    if (m == "POST" && uri == "/api/photo") {
        return answer_command(wsi, s, web_camera_command(WEB_CMD_PHOTO));
    }
    if (m == "POST" && uri == "/api/mode") {
        if (s->request == "photo") return answer_command(wsi, s, web_camera_command(WEB_CMD_MODE_PHOTO));
        if (s->request == "record") return answer_command(wsi, s, web_camera_command(WEB_CMD_MODE_RECORD));
        return answer_error(wsi, s, 400, "the body takes photo or record");
    }
    constexpr char kMedia[] = "/media/";
    if (uri.rfind(kMedia, 0) == 0) {
        std::string name = uri.substr(sizeof kMedia - 1);
        constexpr char kThumb[] = "/thumb";
        bool thumb = false;
        if (name.size() > sizeof kThumb - 1 &&
            name.compare(name.size() - (sizeof kThumb - 1), sizeof kThumb - 1, kThumb) == 0) {
            thumb = true;
            name.resize(name.size() - (sizeof kThumb - 1));
        }
        if (m == "GET") {
            return post_job(wsi, s, [name, thumb] {
                WebMediaFile file;
                const int r = thumb ? web_media_thumbnail(name.c_str(), &file)
                                    : web_media_find(name.c_str(), &file);
                if (r != 0) return WebJobResult{404, error_json("no such file"), false, {}, nullptr};
                return WebJobResult{200, "", true, file, thumb ? "image/jpeg" : media_mime(name)};
            });
        }
        if (m == "DELETE" && !thumb) {
            return post_job(wsi, s, [name] {
                const int r = web_media_delete(name.c_str());
                if (r == -1) return WebJobResult{404, error_json("no such file"), false, {}, nullptr};
                if (r != 0)
                    return WebJobResult{500, error_json("the card refused the removal"), false, {},
                                        nullptr};
                return WebJobResult{200, "{\"ok\":true}", false, {}, nullptr};
            });
        }
        return answer_error(wsi, s, 405, "method not allowed");
    }
    if (m == "GET") {
        const WebAsset* asset = web_page_asset(uri == "/" ? "/index.html" : uri.c_str());
        if (asset != nullptr) {
            return answer(wsi, s, 200, asset->mime,
                          std::string(reinterpret_cast<const char*>(asset->data), asset->size));
        }
    }
    return answer_error(wsi, s, 404, "not found");
}

// Writes the next piece of an HTTP answer. 0, or -1 to close.
int http_writeable(lws* wsi, Session* s) {
    if (s->pending.waitEvent >= 0 || s->job != 0) return 0;
    std::vector<uint8_t> buf(LWS_PRE + kChunk);
    uint8_t* data = buf.data() + LWS_PRE;
    size_t n = 0;
    bool last = false;
    if (s->fd >= 0) {
        const uint64_t left = s->fileEnd - s->fileAt;
        const size_t want = left < kChunk ? static_cast<size_t>(left) : kChunk;
        if (want > 0) {
            const ssize_t got = pread(s->fd, data, want, static_cast<off_t>(s->fileAt));
            if (got <= 0) return -1;  // the file shrank: the length sent is a lie now
            n = static_cast<size_t>(got);
            s->fileAt += n;
        }
        last = s->fileAt >= s->fileEnd;
    } else {
        n = std::min(kChunk, s->body.size() - s->bodyAt);
        memcpy(data, s->body.data() + s->bodyAt, n);
        s->bodyAt += n;
        last = s->bodyAt >= s->body.size();
    }
    if (n > 0 || last) {
        if (lws_write(wsi, data, n, last ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) < 0) return -1;
    }
    if (!last) {
        lws_callback_on_writable(wsi);
        return 0;
    }
    if (s->fd >= 0) {
        close(s->fd);
        s->fd = -1;
    }
    s->body.clear();
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

int ws_send(lws* wsi, const std::string& bytes, bool binary) {
    std::vector<uint8_t> buf(LWS_PRE + bytes.size());
    memcpy(buf.data() + LWS_PRE, bytes.data(), bytes.size());
    const int n = lws_write(wsi, buf.data() + LWS_PRE, bytes.size(),
                            binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT);
    return n < 0 ? -1 : 0;
}

int events_writeable(lws* wsi, Session* s) {
    if (s->outbox.empty()) return 0;
    const std::string msg = std::move(s->outbox.front());
    s->outbox.pop_front();
    if (ws_send(wsi, msg, false) != 0) return -1;
    if (!s->outbox.empty()) lws_callback_on_writable(wsi);
    return 0;
}

// One message per call: the stream's description, its init segment, then
// the fragments from a key frame on.
int live_writeable(lws* wsi, Session* s) {
    std::shared_ptr<const WebLiveFragment> frag = std::move(s->held);
    if (frag == nullptr) frag = web_live_next(&s->cursor);
    if (frag == nullptr) return 0;
    if (frag->initGen != s->sentGen) {
        const WebLiveInit init = web_live_init();
        if (init.gen != frag->initGen) return 0;  // a fragment of an older stream: skipped
        if (!s->infoSent) {
            char info[192];
            snprintf(info, sizeof info,
                     "{\"type\":\"init\",\"codec\":\"%s\",\"t0\":%" PRId64 "}", init.codec.c_str(),
                     init.t0WallMs);
            s->infoSent = true;
            s->held = std::move(frag);
            if (ws_send(wsi, info, false) != 0) return -1;
            lws_callback_on_writable(wsi);
            return 0;
        }
        s->infoSent = false;
        s->sentGen = init.gen;
        s->held = std::move(frag);
        if (ws_send(wsi, init.bytes, true) != 0) return -1;
        lws_callback_on_writable(wsi);
        return 0;
    }
    if (ws_send(wsi, frag->bytes, true) != 0) return -1;
    lws_callback_on_writable(wsi);
    return 0;
}

void queue_event(Session* s, std::string msg) {
    if (s->outbox.size() >= kEventsQueued) s->outbox.pop_front();
    s->outbox.push_back(std::move(msg));
}

// The camera's notifications: to every events client, and to the commands
// waiting for them.
void dispatch_notifications() {
    std::vector<VpsEvt> evts;
    web_camera_take(&evts);
    for (const VpsEvt& evt : evts) {
        web_camera_note(evt);
        const std::string json = web_camera_event_json(evt);
        for (auto& [wsi, s] : g_server.sessions) {
            if (s->kind == Kind::Events) {
                queue_event(s.get(), json);
                lws_callback_on_writable(wsi);
            } else if (s->kind == Kind::Http && s->pending.waitEvent >= 0) {
                WebCommandResult r = s->pending;
                if (web_camera_answer(evt, &r)) {
                    s->pending.waitEvent = -1;
                    if (answer_command(wsi, s.get(), r) != 0) lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
                }
            }
        }
    }
}

// The worker's finished jobs, answered to the requests still waiting.
void dispatch_jobs() {
    std::vector<std::pair<uint64_t, WebJobResult>> results;
    web_jobs_take(&results);
    for (auto& [serial, r] : results) {
        for (auto& [wsi, s] : g_server.sessions) {
            if (s->job != serial) continue;
            s->job = 0;
            const int ret = r.isFile ? answer_file(wsi, s.get(), r.file, r.mime)
                                     : answer_json(wsi, s.get(), r.status, std::move(r.json));
            if (ret != 0) lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
            break;
        }
    }
}

void on_tick(lws_sorted_usec_list_t* sul) {
    dispatch_notifications();
    if (++g_server.ticks % (1000 / kTickMs) == 0) web_camera_sample();
    std::string status = web_camera_status_json();
    const bool changed = status != g_server.lastStatus;
    const int64_t now = now_ms();
    for (auto& [wsi, s] : g_server.sessions) {
        if (changed && s->kind == Kind::Events) {
            queue_event(s.get(), status);
            lws_callback_on_writable(wsi);
        }
        if (s->kind == Kind::Http && s->pending.waitEvent >= 0 && now > s->pendingUntil) {
            s->pending.waitEvent = -1;
            if (answer_error(wsi, s.get(), 504, "the camera did not answer") != 0)
                lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
        }
    }
    if (changed) g_server.lastStatus = std::move(status);
    lws_sul_schedule(g_server.context, 0, sul, on_tick, kTickMs * LWS_US_PER_MS);
}

Session* session_of(lws* wsi) {
    auto& slot = g_server.sessions[wsi];
    if (slot == nullptr) slot = std::make_unique<Session>();
    return slot.get();
}

// A fresh state for a new request or a WebSocket on the connection.
Session* new_session(lws* wsi) {
    auto& slot = g_server.sessions[wsi];
    slot = std::make_unique<Session>();
    return slot.get();
}

const char* method_of(lws* wsi) {
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0) return "GET";
    if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) > 0) return "POST";
    if (lws_hdr_total_length(wsi, WSI_TOKEN_PUT_URI) > 0) return "PUT";
    if (lws_hdr_total_length(wsi, WSI_TOKEN_DELETE_URI) > 0) return "DELETE";
    return "OTHER";
}

int callback(lws* wsi, enum lws_callback_reasons reason, void* /*user*/, void* in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
            // The limit of clients: the connection beyond it is closed at once.
            return g_server.connections >= WEB_CLIENTS_MAX ? -1 : 0;
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
            if (g_server.counted.insert(wsi).second) ++g_server.connections;
            return 0;
        case LWS_CALLBACK_WSI_DESTROY:
            if (g_server.counted.erase(wsi) > 0) --g_server.connections;
            g_server.sessions.erase(wsi);
            return 0;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            dispatch_notifications();
            dispatch_jobs();
            for (auto& [w, s] : g_server.sessions) {
                if (s->kind == Kind::Live) lws_callback_on_writable(w);
            }
            return 0;
        case LWS_CALLBACK_HTTP: {
            Session* s = new_session(wsi);
            s->method = method_of(wsi);
            s->uri.assign(static_cast<const char*>(in), len);
            s->range = header(wsi, WSI_TOKEN_HTTP_RANGE);
            s->ifNoneMatch = header(wsi, WSI_TOKEN_HTTP_IF_NONE_MATCH);
            if (s->method == "OTHER") return answer_error(wsi, s, 405, "method not allowed");
            const std::string length = header(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH);
            const long long declared = length.empty() ? 0 : atoll(length.c_str());
            if (declared > static_cast<long long>(kBodyMax)) {
                s->tooLarge = true;
                return handle_request(wsi, s) != 0 ? -1 : 0;
            }
            if (declared > 0) return 0;  // the body comes first
            return handle_request(wsi, s) != 0 ? -1 : 0;
        }
        case LWS_CALLBACK_HTTP_BODY: {
            Session* s = session_of(wsi);
            if (s->request.size() + len > kBodyMax) {
                s->tooLarge = true;
            } else {
                s->request.append(static_cast<const char*>(in), len);
            }
            return 0;
        }
        case LWS_CALLBACK_HTTP_BODY_COMPLETION:
            return handle_request(wsi, session_of(wsi)) != 0 ? -1 : 0;
        case LWS_CALLBACK_HTTP_WRITEABLE:
            return http_writeable(wsi, session_of(wsi));
        case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE: {
            const std::string uri = header(wsi, WSI_TOKEN_GET_URI);
            if (uri != "/live" && uri != "/api/events") {
                lws_return_http_status(wsi, HTTP_STATUS_NOT_FOUND, nullptr);
                return 1;
            }
            if (!origin_ok(wsi)) {
                lws_return_http_status(wsi, HTTP_STATUS_FORBIDDEN, "foreign origin");
                return 1;
            }
            return 0;
        }
        case LWS_CALLBACK_ESTABLISHED: {
            Session* s = new_session(wsi);
            s->kind = header(wsi, WSI_TOKEN_GET_URI) == "/live" ? Kind::Live : Kind::Events;
            if (s->kind == Kind::Events) queue_event(s, web_camera_status_json());
            lws_callback_on_writable(wsi);
            return 0;
        }
        case LWS_CALLBACK_SERVER_WRITEABLE: {
            Session* s = session_of(wsi);
            return s->kind == Kind::Live ? live_writeable(wsi, s) : events_writeable(wsi, s);
        }
        case LWS_CALLBACK_RECEIVE:
            return 0;  // the page sends nothing that matters
        default:
            break;
    }
    return lws_callback_http_dummy(wsi, reason, nullptr, in, len);
}

const lws_protocols kProtocols[] = {
    {"vboard", callback, 0, 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void service() {
    lws_sul_schedule(g_server.context, 0, &g_server.tick, on_tick, kTickMs * LWS_US_PER_MS);
    while (!g_server.stop.load()) {
        if (lws_service(g_server.context, 0) < 0) break;
    }
}

}  // namespace

int PLR_WEB_Start(const char* address, uint16_t port) {
    if (g_server.context != nullptr) return -1;
    lws_set_log_level(LLL_ERR, nullptr);
    lws_context_creation_info info{};
    info.port = port;
    info.iface = address;
    info.protocols = kProtocols;
    info.max_http_header_data = kHeaderMax;
    info.max_http_header_pool = WEB_CLIENTS_MAX;
    info.timeout_secs = 30;
    info.keepalive_timeout = 10;
    info.options = LWS_SERVER_OPTION_DISABLE_IPV6 | LWS_SERVER_OPTION_VALIDATE_UTF8;
    g_server.stop.store(false);
    lws_context* context = lws_create_context(&info);
    if (context == nullptr) {
        plr_trace_logf(PLR_LOG_E, "web server: cannot listen on %s:%u", address, port);
        return -1;
    }
    g_server.context.store(context);
    lws_vhost* vh = lws_get_vhost_by_name(context, "default");
    g_server.port.store(static_cast<uint16_t>(vh != nullptr ? lws_get_vhost_listen_port(vh) : port));
    web_camera_start(wake);
    web_live_start(wake);
    web_jobs_start(wake);
    g_server.thread = std::thread(service);
    plr_trace_logf(PLR_LOG_D, "web server on %s:%u", address, g_server.port.load());
    return 0;
}

int PLR_WEB_Init() {
    const char* on = CclGetKeyvalue(WEB_CONF_SWITCH);
    if (on != nullptr && (strcmp(on, "off") == 0 || strcmp(on, "0") == 0)) {
        plr_trace_log(PLR_LOG_D, "web server switched off");
        return 0;
    }
    const char* portText = CclGetKeyvalue(WEB_CONF_PORT);
    long port = portText != nullptr ? strtol(portText, nullptr, 10) : WEB_DEFAULT_PORT;
    if (port <= 0 || port > 65535) port = WEB_DEFAULT_PORT;
    return PLR_WEB_Start(board_listen_address(), static_cast<uint16_t>(port));
}

uint16_t PLR_WEB_Port() { return g_server.context != nullptr ? g_server.port.load() : 0; }

int PLR_WEB_Deinit() {
    if (g_server.context == nullptr) return 0;
    web_live_stop();
    web_camera_stop();
    web_jobs_stop();
    g_server.stop.store(true);
    lws_cancel_service(g_server.context);
    if (g_server.thread.joinable()) g_server.thread.join();
    lws_sul_cancel(&g_server.tick);
    lws_context* c = g_server.context.exchange(nullptr);
    lws_context_destroy(c);
    g_server.sessions.clear();
    g_server.counted.clear();
    g_server.connections = 0;
    g_server.lastStatus.clear();
    g_server.port.store(0);
    return 0;
}
