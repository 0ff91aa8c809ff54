// Repeater configuration forwarding: settings for the radio repeater
// (destination MAC, radio channel, bandwidth) and a USB setting for the flight
// controller, provisioned as small text files on the card, are forwarded once
// each as PELORA_CUSTOM_CONFIG. The main loop calls the trigger on every pass.
#pragma once

// 0 once every present file has been forwarded (and on every call after);
// -1 while a present file could not be read or was empty, or its link (the
// phone link for the repeater, the serial line for the flight controller)
// refused it: it is tried again on the next pass, and the files already
// forwarded are not sent again.
int PLR_RP_CustomTrigger();

// Forgets what was forwarded (tests).
void PLR_RP_Reset();
