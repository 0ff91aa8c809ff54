// The board layer: the one place that knows absolute paths, runs shell
// commands and performs the board's OS actions (clock, reboot, card device,
// LED). The target backend acts on the real board; the simulated backend acts
// inside a board root directory and never touches the host.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Path of the board's absolute path `path` on this board ("/tmp/SD0" on the
// target; "$VBOARD_ROOT/tmp/SD0" on the simulated board).
std::string board_path(std::string_view path);

// True when the board path exists (file, directory or device node).
bool board_file_exists(std::string_view path);

// Runs a shell command line built from board paths. Returns the command's exit
// status, or -1 when it could not be run (or was refused by the simulated
// board). When `output` is given it receives the command's standard output.
int board_run_command(const std::string& command, std::string* output = nullptr);

// Replaces the command runner (tests record commands instead of running them).
// An empty function restores the backend's own runner.
using BoardCommandRunner = std::function<int(const std::string& command, std::string* output)>;
void board_set_command_runner(BoardCommandRunner runner);

// The board clock: every wall-clock read of the system goes through it.
void board_clock_gettimeofday(struct timeval* tv);
// Sets the board's wall clock. Returns 0 or -1.
int board_set_clock(const struct timeval& tv);

// Reboots the board. The simulated board records it and ends the process the
// way a real reboot does (the ordered SIGTERM shutdown); the launcher starts it
// again.
void board_reboot();

// The platform's update engine: installs the video-board image
// BOARD_UPDATE_IMAGE, running in the foreground. 0 when the engine reported
// success, -1 when it failed or could not run (no image, no engine). It does
// not reboot: the caller records the success first, then calls board_reboot.
inline constexpr const char* BOARD_UPDATE_IMAGE = "/userdata/videofw/update.img";
int board_update_engine();

// Board path of the public key that firmware files must be signed with; no
// file there means firmware is not checked for signatures. A read-only system
// path on the target; sim/fw-pubkey.pem in the simulated board's root.
const char* board_fw_pubkey_path();

// "mdev -s": rescans devices; a card present at power-on is reported to the
// process in the PID file by the hot-plug handler.
int board_mdev_scan();

// The SD card: its partition "/dev/mmcblk2p1" mounted at "/tmp/SD0".
// Mounting and formatting report only whether the command ran; callers judge
// the card by whether a file can be created on it, as on the real board.
int board_sd_mount();
int board_sd_umount();
int board_sd_format();

// Size of the mounted card's file system: block size, blocks, blocks available
// to unprivileged users and the file-system type. 0, or -1 when it cannot be read.
struct BoardFsSpace {
    uint64_t blockSize;
    uint64_t blocks;
    uint64_t availableBlocks;
    uint32_t type;
};
int board_sd_space(BoardFsSpace* space);

// Flushes file system buffers to the card.
void board_sync();

// File I/O on the card (host paths of files below "/tmp/SD0"), with the
// results of the system calls they stand for (-1 and errno). Recordings go
// through these so that the board's card behaves as a card: on the simulated
// board a descriptor opened on a card that has been ejected since fails every
// read, write and flush with EIO, and writes keep to the card's write speed
// when one is set (sim/card-speed, MB/s).
int board_card_open(const char* path, int flags, mode_t mode);
int board_card_close(int fd);
ssize_t board_card_write(int fd, const void* bytes, size_t size);
ssize_t board_card_pread(int fd, void* out, size_t size, int64_t offset);
int board_card_datasync(int fd);

// Size in bytes past which a recording goes on in a new file, when the board
// sets one; 0 keeps the recorder's own limit (3.8 GiB). The target has none;
// the simulated board takes it from sim/split-mb (MiB), so that splits come
// every few seconds where a test needs them.
uint64_t board_record_split_bytes();

// Records a change of the status LED mode (the simulated board keeps a record
// of it; the real LED is driven through its GPIO value file).
void board_note_led_mode(uint32_t mode);

// Prepares the board layer before anything else runs. The simulated board
// needs VBOARD_ROOT to name an existing board root; -1 (with a message on
// standard error) when it does not.
int board_init();

// The phone network. On the target the phone and the repeater are on
// "192.168.31."; the simulated board is loopback only, so its phone network is
// "127.0.0." (the repeater 127.0.0.111).
const char* board_phone_net_prefix();
// The address listening sockets bind: any address on the target, 127.0.0.1 on
// the simulated board.
const char* board_listen_address();
// Where ground stations are looked for before one has spoken: the access
// point's broadcast address on the target, 127.0.0.1 on the simulated board.
const char* board_ground_station_address();

// Hardware address of an IPv4 peer from the ARP table of the access point's
// interface "wlan0". 0, or -1 (the reason printed) when there is no entry. The
// simulated board answers 02:00:7f:00:00:NN for 127.0.0.N.
int board_arp_lookup(const struct in_addr& peer, std::array<uint8_t, 6>* mac);

// The packet filter that keeps everyone but the bound phone away: flushes the
// rules, accepts the listed MAC addresses ("aa:bb:cc:dd:ee:ff"; anything else
// in the list is skipped) and drops all other input. `commands`, when given,
// receives the command lines run, in order. 0, or -1 when a command failed.
int board_firewall_bind_macs(const std::vector<std::string>& macs,
                             std::vector<std::string>* commands = nullptr);
// Flushes the rules and accepts all input again.
int board_firewall_unbind(std::vector<std::string>* commands = nullptr);
