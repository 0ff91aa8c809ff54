// The configuration file parser over arbitrary file contents, with the '='
// separator of the board configuration and the ' ' of signal lists: parse,
// look up every key found, iterate twice and release.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/ccl.h"
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    // The file lives in memory (a memory file named through /proc): writing a
    // file on disk for every input would dominate the run time.
    static const int fd = memfd_create("fuzz.conf", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0) abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    for (const char separator : {'=', ' '}) {
        ccl_config config{};
        config.sep_char = separator;
        if (ccl_parse(&config, path.c_str()) == 0) {
            for (int pass = 0; pass < 2; ++pass) {
                while (const ccl_pair* pair = ccl_iterate(&config)) {
                    const char* value = ccl_get(&config, pair->key);
                    if (value == nullptr || strcmp(value, pair->value) != 0) abort();
                }
            }
            ccl_reset(&config);
            ccl_get(&config, "");
        }
        ccl_release(&config);
    }
    return 0;
}
