// The camera as the web front end sees it: its state as JSON, the camera's
// notifications copied for the event stream, the commands of the page
// (record, photo, mode, settings) and the drone's GPS track since power-on.
//
// Commands reach the camera as the phone's do, through the application's
// command dispatch: the application registers the two hooks below (the web
// front end sits beside the phone link and cannot call the dispatch itself).
// Without them every command is refused with 503.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vps/vps_event.h"

// The phone's media command numbers: 0 photo mode, 1 photo, 2 record mode,
// 3 record start, 4 record stop. 0 or -1.
using WebMediaCommandHook = int (*)(int32_t command);
// A camera parameter item with its three values, as the phone sets it. 0 or -1.
using WebSetParameterHook = int (*)(uint8_t item, float p1, float p2, float p3);
void PLR_WEB_SetCommandHooks(WebMediaCommandHook media, WebSetParameterHook parameter);
void PLR_WEB_ClearCommandHooks();

// Registers the notification observer; `wake` is called (on the notifying
// thread) after each notification is queued. 0 or -1.
int web_camera_start(void (*wake)());
// Removes the observer and forgets the queue and the track.
void web_camera_stop();

// Moves the notifications queued since the last call into *out (at most the
// newest 64 are kept between two calls).
void web_camera_take(std::vector<VpsEvt>* out);
// Keeps the recording start time from the notifications (the phone may
// start a recording too). Called with every notification taken.
void web_camera_note(const VpsEvt& evt);
// One notification as a JSON object {"type":"event","name":...}.
std::string web_camera_event_json(const VpsEvt& evt);

// The state: mode, recording and its time, card, zoom, Wi-Fi channel, GPS
// position, versions. One JSON object.
std::string web_camera_status_json();
// Once a second: appends the position to the track (when there is one) and
// refreshes the Wi-Fi channel now and then.
void web_camera_sample();
// The track as JSON: {"points":[[lat,lon],...]} in degrees.
std::string web_camera_track_json();

// The settings: every item with its number, values, range and current value.
std::string web_camera_settings_json();

// A command's outcome. `status` is an HTTP status; `waitEvent` >= 0 names
// the notification that answers it (the answer then comes from
// web_camera_answer); `text` is the reason of a refusal.
struct WebCommandResult {
    int status;
    int32_t waitEvent;
    int32_t wanted;  // the mode a mode switch asks for, else -1
    std::string text;
};
enum WebCommand : int {
    WEB_CMD_RECORD_START,
    WEB_CMD_RECORD_STOP,
    WEB_CMD_PHOTO,
    WEB_CMD_MODE_PHOTO,
    WEB_CMD_MODE_RECORD,
};
WebCommandResult web_camera_command(WebCommand command);
// Whether `evt` answers a command that waits for `result.waitEvent`; when it
// does, *result gets the final status and text.
bool web_camera_answer(const VpsEvt& evt, WebCommandResult* result);

// Sets one item from a form body "name=ITEM&value=N[&value2=N][&value3=N]".
// 202 when handed to the camera (its answer shows in the status), 400 with
// the reason for an unknown item or a value out of range, 503 without hooks.
WebCommandResult web_camera_set(const char* body);
