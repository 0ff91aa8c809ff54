// Simulated-board specifics that tools and tests need beside the board layer.
#pragma once

#include <string>
#include <string_view>

#include <cstdint>

// Size of a simulated card when sim/card.mib does not say.
inline constexpr uint64_t kDefaultSimCardMib = 32768;

// The board root of the simulated board (absolute; from VBOARD_ROOT unless set).
const std::string& board_sim_root();
// Sets the board root (tests and tools; the program itself reads VBOARD_ROOT).
void board_sim_set_root(std::string root);
// Appends "<ISO time> <action> <details>" to sim/events.log in the board root.
void board_sim_event(std::string_view action, std::string_view details);
// True when the command line would be refused by the simulated board's guard:
// a program that changes the machine, or an absolute path outside the root.
bool board_sim_command_refused(const std::string& command, std::string* reason);
// How long a Wi-Fi survey waits for the driver's table (1000 ms, as the board
// does); tests and fuzz targets that reach the survey set it to 0.
void board_sim_set_survey_wait_ms(uint32_t ms);
