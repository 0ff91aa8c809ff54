// vboard-sim: runs the video-board software as a simulated board on this PC.
//
//   vboard-sim --root DIR [--card-mib N | --no-card] [--card-speed MBPS] [--split-mb N]
//              [--no-fc] [--repeater] [--lose-package N] [--conf FILE] [--http-port N]
//   vboard-sim card insert|eject --root DIR
//
// The first form prepares DIR as a board root, starts the flight-controller
// simulator on the board's serial line (unless --no-fc), with --repeater the
// simulated radio repeater (the board's client at 127.0.0.111, relaying a
// phone that connects to that address), starts vboard in it, starts vboard
// again after a simulated reboot and stops everything on SIGINT or SIGTERM:
// vboard first, then the simulators. --lose-package N is handed to both
// simulators (each withholds or drops firmware package N once). The board's
// web page is on http://127.0.0.1:8080 (--http-port N: another port).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "board_root.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::atomic<pid_t> g_child{0};
std::atomic<bool> g_stopping{false};

void usage() {
    fprintf(stderr,
            "usage: vboard-sim --root DIR [--card-mib N | --no-card] [--card-speed MBPS]\n"
            "                  [--split-mb N] [--no-fc] [--repeater] [--lose-package N]\n"
            "                  [--conf FILE] [--http-port N]\n"
            "       vboard-sim card insert|eject --root DIR\n");
}

void forward_stop(int /*signo*/) {
    g_stopping.store(true);
    const pid_t child = g_child.load();
    if (child > 0) kill(child, SIGTERM);
}

// A size in MiB from 1 to 1 TiB.
bool parse_mib(const char* text, uint32_t* mib) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value == 0 || value > 1024UL * 1024UL)
        return false;
    *mib = static_cast<uint32_t>(value);
    return true;
}

fs::path program_dir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : self.parent_path();
}

pid_t start_vboard(const std::string& root) {
    const std::string program = (program_dir() / "vboard").string();
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "VBOARD_ROOT=", 12) != 0) env.emplace_back(*e);
    }
    env.push_back("VBOARD_ROOT=" + root);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data());
    if (rc != 0) {
        fprintf(stderr, "vboard-sim: cannot start %s: %s\n", program.c_str(), strerror(rc));
        return -1;
    }
    return pid;
}

// Starts a simulator of this directory with --root DIR in its own process
// group: a Ctrl-C in the terminal reaches vboard, and the simulator is
// stopped after it. -1 when it cannot be started.
pid_t start_simulator(const char* name, const std::string& root, const std::string& losePackage) {
    const std::string program = (program_dir() / name).string();
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("--root"),
                               const_cast<char*>(root.c_str())};
    if (!losePackage.empty()) {
        argv.push_back(const_cast<char*>("--lose-package"));
        argv.push_back(const_cast<char*>(losePackage.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "vboard-sim: cannot start %s: %s\n", program.c_str(), strerror(rc));
        return -1;
    }
    return pid;
}

// Starts the flight-controller simulator on DIR/dev/ttyS5 and waits until the
// line is there, so that vboard finds it when it opens the port.
pid_t start_fcsim(const std::string& root, const std::string& losePackage) {
    const pid_t pid = start_simulator("fcsim", root, losePackage);
    if (pid < 0) return -1;
    const fs::path line = fs::path(root) / "dev/ttyS5";
    for (int i = 0; i < 250; ++i) {
        std::error_code ec;
        if (fs::is_symlink(line, ec)) return pid;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            fprintf(stderr, "vboard-sim: fcsim ended at start; no flight controller\n");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fprintf(stderr, "vboard-sim: fcsim has not linked %s yet; starting vboard anyway\n",
            line.c_str());
    return pid;
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// Runs vboard until it stops for good; a simulated reboot starts it again.
int run_vboard(const BoardRootOptions& options) {
    const fs::path rebootMarker = fs::path(options.root) / "sim/reboot-requested";
    for (;;) {
        std::error_code ec;
        fs::remove(rebootMarker, ec);
        const pid_t child = start_vboard(options.root);
        if (child < 0) return 1;
        g_child.store(child);
        if (g_stopping.load()) kill(child, SIGTERM);
        const int status = wait_child(child);
        g_child.store(0);
        if (g_stopping.load() || !fs::exists(rebootMarker)) return status;
        fprintf(stderr, "vboard-sim: board rebooted, starting vboard again\n");
    }
}

struct Simulators {
    bool fc = true;
    bool repeater = false;
    std::string losePackage;  // passed on as --lose-package when set
};

int run_board(const BoardRootOptions& options, const Simulators& sims) {
    std::string error;
    if (board_root_prepare(options, &error) != 0) {
        fprintf(stderr, "vboard-sim: %s\n", error.c_str());
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = forward_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // A line left by an earlier run points at a pseudo-terminal that is gone,
    // or by now belongs to someone else.
    std::error_code ec;
    const fs::path line = fs::path(options.root) / "dev/ttyS5";
    if (fs::is_symlink(line, ec)) fs::remove(line, ec);
    const pid_t fc = sims.fc ? start_fcsim(options.root, sims.losePackage) : -1;
    // The repeater connects to the board by itself once it listens.
    const pid_t repeater =
        sims.repeater ? start_simulator("repeater-sim", options.root, sims.losePackage) : -1;
    const int status = run_vboard(options);
    for (const pid_t sim : {repeater, fc}) {
        if (sim <= 0) continue;
        kill(sim, SIGTERM);
        wait_child(sim);
    }
    return status;
}

int run_card(int argc, char** argv) {
    // card insert|eject --root DIR
    if (argc != 5 || (strcmp(argv[2], "insert") != 0 && strcmp(argv[2], "eject") != 0) ||
        strcmp(argv[3], "--root") != 0) {
        usage();
        return 2;
    }
    std::string error;
    const std::string root = fs::absolute(argv[4]).lexically_normal().string();
    if (board_root_card(root, strcmp(argv[2], "insert") == 0, &error) != 0) {
        fprintf(stderr, "vboard-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "card") == 0) return run_card(argc, argv);

    BoardRootOptions options;
    bool cardSizeGiven = false;
    Simulators sims;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--root" && hasValue) {
            options.root = argv[++i];
        } else if (arg == "--card-mib" && hasValue) {
            if (!parse_mib(argv[++i], &options.cardMib)) {
                fprintf(stderr, "vboard-sim: --card-mib takes a size in MiB from 1 to 1048576\n");
                return 2;
            }
            cardSizeGiven = true;
        } else if (arg == "--card-speed" && hasValue) {
            char* end = nullptr;
            const double mbps = strtod(argv[++i], &end);
            if (*end != '\0' || !(mbps > 0) || mbps > 100000) {
                fprintf(stderr, "vboard-sim: --card-speed takes a write speed in MB/s above 0\n");
                return 2;
            }
            options.cardSpeedMBps = mbps;
        } else if (arg == "--split-mb" && hasValue) {
            if (!parse_mib(argv[++i], &options.splitMib)) {
                fprintf(stderr, "vboard-sim: --split-mb takes a size in MiB from 1 to 1048576\n");
                return 2;
            }
        } else if (arg == "--no-card") {
            options.card = false;
        } else if (arg == "--no-fc") {
            sims.fc = false;
        } else if (arg == "--repeater") {
            sims.repeater = true;
        } else if (arg == "--lose-package" && hasValue) {
            sims.losePackage = argv[++i];
            if (sims.losePackage.empty() ||
                sims.losePackage.find_first_not_of("0123456789") != std::string::npos) {
                fprintf(stderr, "vboard-sim: --lose-package takes a package index\n");
                return 2;
            }
        } else if (arg == "--http-port" && hasValue) {
            char* end = nullptr;
            const long port = strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 1 || port > 65535) {
                fprintf(stderr, "vboard-sim: --http-port takes a port from 1 to 65535\n");
                return 2;
            }
            options.httpPort = static_cast<uint16_t>(port);
        } else if (arg == "--conf" && hasValue) {
            options.confFile = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    if (options.root.empty() || (cardSizeGiven && !options.card)) {
        usage();
        return 2;
    }
    options.root = fs::absolute(options.root).lexically_normal().string();
    while (options.root.size() > 1 && options.root.back() == '/') options.root.pop_back();
    return run_board(options, sims);
}
