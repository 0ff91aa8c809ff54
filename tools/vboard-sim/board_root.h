// Creating and changing a simulated board root on disk.
#pragma once

#include <cstdint>
#include <string>

struct BoardRootOptions {
    std::string root;          // absolute
    bool card = true;          // a card is inserted
    uint32_t cardMib = 0;      // 0: keep the current size (32768 for a new card)
    std::string confFile;      // replaces etc/pelora.conf when given
    double cardSpeedMBps = 0;  // card write speed in MB/s; 0: as fast as the host
    uint32_t splitMib = 0;     // recordings split past this many MiB; 0: at 3.8 GiB
    uint16_t httpPort = 8080;  // the web page's port (on 127.0.0.1), set in the configuration
};

// Makes the directory a board root (layout, default configuration, IQ
// directory, GPIO, thermal and survey files) if it is not one yet, then applies
// the card options. Returns 0, or -1 with a message in `error`.
int board_root_prepare(const BoardRootOptions& options, std::string* error);

// Inserts or removes the card as the board's hot-plug handler does: the device
// node appears or disappears and the process in the PID file gets SIGUSR1
// (inserted) or SIGUSR2 (removed). Returns 0, or -1 with a message.
int board_root_card(const std::string& root, bool insert, std::string* error);
