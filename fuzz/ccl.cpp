// The configuration file parser over arbitrary file contents, with the '='
// separator of the board configuration and the ' ' of signal lists: parse,
// look up every key found, iterate twice and release.
#include <cstdio>
#include <cstring>

#include "core/ccl.h"
#include "fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_process();
    const std::string path = fuzz::TempRoot::get().path("/fuzz.conf");
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    fclose(f);

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
