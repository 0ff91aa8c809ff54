// The wiring between the layers. A lower layer that must reach up (the links
// handing on what they receive, the tracker sending its reports) offers a
// hook; the application registers the upper side here before any subsystem
// starts and clears it after every subsystem has stopped. The firmware
// upgrade registers its own upload handler with the file service.
#pragma once

// The phone link's and the flight-controller link's messages to the command
// dispatch; the tracker's reports to the phone link and the flight-controller
// line. 0.
int PLR_APP_HooksInit();
// Clears every hook PLR_APP_HooksInit registered. 0.
int PLR_APP_HooksDeinit();
