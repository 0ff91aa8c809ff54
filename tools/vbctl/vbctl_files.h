// The file-service side of vbctl: lists, information, downloads, deletion,
// thumbnails and the live-stream switch, spoken as the phone does over UDP
// (requests to the file port, reliable frames back, acknowledgements to the
// acknowledgement port).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VbctlFileOptions {
    std::string host = "127.0.0.1";
    uint16_t file_port = 8857;  // the board's request port (or a relay's)
    uint16_t ack_port = 8866;   // where acknowledgements go
    double timeout_s = 10;      // silence after which a command gives up
    std::string output;         // get/thumb: the file written
    bool offset_given = false;
    uint64_t offset = 0;   // get: resume from this byte
    uint32_t seek_ms = 0;  // play: start position
    double seconds = -1;   // play: cancel after this long (-1: play to the end)
};

// Checks the words of a file command (ls, info, get, rm, thumb, stream or
// play); "" when fine, else the usage message.
std::string vbctl_file_usage_error(const std::vector<const char*>& args);
// Runs the command. Exit status: 0 done, 1 failed (message on stderr).
int vbctl_file_command(const VbctlFileOptions& opt, const std::vector<const char*>& args);
