#include "fs/thumbnail.h"

#include <gtest/gtest.h>

TEST(Thumbnail, RefusesNullPaths) { EXPECT_EQ(thumbnail_generate(nullptr, nullptr, 160, 90), -1); }
