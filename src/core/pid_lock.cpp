#include "core/pid_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/board.h"
#include "core/trace_log.h"

int PLR_MAIN_PidInit() {
    const std::string path = board_path(PLR_PID_FILE);
    // A file left by a crashed run must not stop this start.
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        plr_trace_logf(PLR_LOG_E, "Could not open lockfile %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) < 0) {
        plr_trace_log(PLR_LOG_E, "Lockfile locking failed!");
        close(fd);
        return -1;
    }
    char text[16] = {};
    const int length = snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
    if (write(fd, text, static_cast<size_t>(length)) < length) {
        plr_trace_log(PLR_LOG_E, "Could not write pidfile!");
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

int PLR_MAIN_PidDeinit() {
    unlink(board_path(PLR_PID_FILE).c_str());
    return 0;
}
