// vcam-frames: prints the virtual camera's frame number of every picture of a
// recording, a live-view capture or a photo, one per line (-1 where a picture
// carries no readable number), then a summary line on standard error.
//
//   vcam-frames FILE
#include <cstdio>

#include "video_probe.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: vcam-frames FILE\n");
        return 2;
    }
    const VideoProbe probe = probe_video(argv[1], true);
    if (!probe.opened) {
        fprintf(stderr, "vcam-frames: cannot read a video stream from %s\n", argv[1]);
        return 1;
    }
    long long gaps = 0;
    long long unreadable = 0;
    for (size_t i = 0; i < probe.frameNumbers.size(); ++i) {
        const long long n = probe.frameNumbers[i];
        printf("%lld\n", n);
        if (n < 0) ++unreadable;
        if (i > 0 && n >= 0 && probe.frameNumbers[i - 1] >= 0 && n != probe.frameNumbers[i - 1] + 1)
            ++gaps;
    }
    fprintf(stderr, "%s: %zu pictures %dx%d %s, %lld gaps, %lld unreadable\n", argv[1],
            probe.frameNumbers.size(), probe.width, probe.height, probe.codec.c_str(), gaps,
            unreadable);
    return 0;
}
