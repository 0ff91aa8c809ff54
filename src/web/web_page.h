// The page and its assets, built into the program (src/web/page): found by
// their path under the site's root.
#pragma once

#include <cstddef>
#include <cstdint>

struct WebAsset {
    const char* path;  // "/index.html"
    const char* mime;
    const uint8_t* data;
    size_t size;
};

// The asset at `path`, or null.
const WebAsset* web_page_asset(const char* path);
