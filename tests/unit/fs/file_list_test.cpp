#include "fs/file_list.h"

#include <gtest/gtest.h>

TEST(FileList, EmptyListCountsAsMinusOne) { EXPECT_EQ(file_list_count(nullptr), -1); }
