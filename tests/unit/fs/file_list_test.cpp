// File lists and the plain file operations of the media catalogue, on
// directory trees made in a temporary board root.
#include "fs/file_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../../support/board_root_fixture.h"

namespace {

namespace stdfs = std::filesystem;

std::vector<std::string> names_of(const file_list_node* n) {
    std::vector<std::string> out;
    for (; n != nullptr; n = n->next) out.emplace_back(n->name);
    return out;
}

// Makes a file of `size` bytes (sparse).
void make_file(const std::string& path, uint64_t size = 1) {
    stdfs::create_directories(stdfs::path(path).parent_path());
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    close(fd);
}

// Entry names of a directory in the order the file system returns them.
std::vector<std::string> readdir_order(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            out.emplace_back(e->d_name);
    }
    closedir(d);
    return out;
}

class FileListTest : public ::testing::Test {
protected:
    void TearDown() override { file_list_free(&list_); }
    std::string path(const std::string& p) const { return root_.path("/tmp/SD0/PLRMEDIA" + p); }

    TempBoardRoot root_{{"/tmp/SD0/PLRMEDIA"}};
    file_list_node* list_ = nullptr;
};

TEST(FsFileType, ByTextAnywhereInTheName) {
    struct Case {
        const char* name;
        int type;
    };
    for (const Case& c : {Case{"IMG_0001.jpg", 1}, Case{"IMG.JPG", 1}, Case{"pano.JPEG", 1},
                          Case{"CLIP0001.MP4", 3}, Case{"clip.mp4", 3}, Case{"clip.mp4.bak", 3},
                          Case{"a_jpg_b.mp4", 1}, Case{"clip.mov", 4}, Case{"", 4}, Case{"jpeg", 4},
                          Case{nullptr, 4}}) {
        EXPECT_EQ(FsGetFileType(c.name), c.type) << (c.name ? c.name : "(null)");
    }
}

TEST(FsThumbnailName, ConvertsInPlaceOrRefuses) {
    struct Case {
        const char* name;
        size_t size;         // buffer size, 0: the whole 512-byte buffer
        const char* result;  // null: refused, name unchanged
    };
    const Case cases[] = {
        {"IMG_0001.jpg", 0, "IMG_0001_p.JPG"},
        {"CLIP0001.MP4", 0, "CLIP0001_v.JPG"},
        {"clip.mp4.bak", 0, "clip.mp4_v.JPG"},
        {"a.b.JPG", 0, "a.b_p.JPG"},
        {".mp4", 0, "_v.JPG"},
        {"CLIP0001", 0, nullptr},   // no "."
        {"notes.txt", 0, nullptr},  // unknown type
        {"A.MP4", 11, "A_v.JPG"},   // "A_v.JPG" needs 8 bytes
        {"A.MP4", 7, nullptr},      // does not fit
    };
    for (const Case& c : cases) {
        char buf[FILE_LIST_NAME_SIZE] = {};
        strcpy(buf, c.name);
        const size_t size = c.size == 0 ? sizeof buf : c.size;
        EXPECT_EQ(FsThumbnailNameConvert(buf, size), c.result ? 0 : -1) << c.name;
        EXPECT_STREQ(buf, c.result ? c.result : c.name);
    }
    // A name that fills its buffer without a terminating NUL is refused
    // without reading past the buffer.
    char raw[8];
    memcpy(raw, "ABCD.MP4", 8);
    EXPECT_EQ(FsThumbnailNameConvert(raw, sizeof raw), -1);
    EXPECT_EQ(memcmp(raw, "ABCD.MP4", 8), 0);
    EXPECT_EQ(FsThumbnailNameConvert(nullptr, 10), -1);
}

TEST_F(FileListTest, VideoSizeValidityAtTheBoundary) {
    make_file(path("/VIDEO/small.MP4"), 512000);
    make_file(path("/VIDEO/ok.MP4"), 512001);
    make_file(path("/VIDEO/empty.MP4"), 0);
    make_file(path("/VIDEO/huge.MP4"), 5ULL << 30);  // sparse, beyond 32 bits
    EXPECT_EQ(FsFileSizeCheck(path("/VIDEO/small.MP4").c_str()), 0);
    EXPECT_EQ(FsFileSizeCheck(path("/VIDEO/ok.MP4").c_str()), 1);
    EXPECT_EQ(FsFileSizeCheck(path("/VIDEO/empty.MP4").c_str()), 0);
    EXPECT_EQ(FsFileSizeCheck(path("/VIDEO/huge.MP4").c_str()), 1);
    EXPECT_EQ(FsFileSizeCheck(nullptr), 0);
    EXPECT_EQ(file_get_size(path("/VIDEO/huge.MP4").c_str()), 5ULL << 30);
    EXPECT_EQ(file_get_size(path("/VIDEO/missing.MP4").c_str()), FILE_SIZE_UNKNOWN);
    EXPECT_EQ(file_get_size(nullptr), FILE_SIZE_UNKNOWN);
}

TEST_F(FileListTest, FlatScanListsRegularFilesOnly) {
    make_file(path("/PIC/a.jpg"));
    make_file(path("/PIC/b.jpg"));
    make_file(path("/PIC/sub/c.jpg"));
    ASSERT_EQ(symlink("a.jpg", path("/PIC/link.jpg").c_str()), 0);
    const file_list_node* last = file_list_scan(path("/PIC").c_str(), &list_);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->next, nullptr);
    EXPECT_EQ(file_list_count(list_), 2);
    for (const file_list_node* n = list_; n != nullptr; n = n->next) {
        EXPECT_EQ(n->type, FILE_LIST_TYPE_REGULAR);
        EXPECT_EQ(std::string(n->path), path("/PIC/") + n->name);
    }
    // A second scan appends behind what is there.
    file_list_scan(path("/PIC").c_str(), &list_);
    EXPECT_EQ(file_list_count(list_), 4);
}

// Files of a subdirectory follow in place: after the entries that precede the
// subdirectory in the directory order, before those after it.
TEST_F(FileListTest, RecursiveScanKeepsDirectoryOrder) {
    for (const char* f : {"/PIC/a.jpg", "/PIC/b.jpg", "/PIC/c.jpg", "/PIC/d.jpg", "/PIC/e.jpg",
                          "/PIC/sub/x.jpg", "/PIC/sub/y.jpg", "/PIC/sub/deeper/z.jpg"}) {
        make_file(path(f));
    }
    std::vector<std::string> expected;
    for (const std::string& e : readdir_order(path("/PIC"))) {
        if (e != "sub") {
            expected.push_back(e);
            continue;
        }
        for (const std::string& s : readdir_order(path("/PIC/sub"))) {
            if (s == "deeper") {
                expected.emplace_back("z.jpg");
            } else {
                expected.push_back(s);
            }
        }
    }
    ASSERT_NE(file_list_scan_recurse(path("/PIC").c_str(), &list_), nullptr);
    EXPECT_EQ(names_of(list_), expected);
    const file_list_node* z = file_list_find("z.jpg", list_);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(std::string(z->path), path("/PIC/sub/deeper/z.jpg"));
}

// A hostile card: links that loop, a link out of the tree and a directory
// deeper than the scan goes. The scan ends, follows no link and lists the
// files down to its depth limit.
TEST_F(FileListTest, RecursiveScanRefusesLinksAndBoundsDepth) {
    make_file(path("/PIC/a.jpg"));
    ASSERT_EQ(symlink(".", path("/PIC/self").c_str()), 0);
    ASSERT_EQ(symlink("..", path("/PIC/up").c_str()), 0);
    ASSERT_EQ(symlink("/", path("/PIC/root").c_str()), 0);
    std::string deep = path("/PIC");
    for (int level = 1; level <= FILE_LIST_MAX_DEPTH + 3; ++level) {
        deep += "/d";
        make_file(deep + "/level" + std::to_string(level) + ".jpg");
    }
    file_list_scan_recurse(path("/PIC").c_str(), &list_);
    std::vector<std::string> expected{"a.jpg"};
    for (int level = 1; level <= FILE_LIST_MAX_DEPTH; ++level) {
        expected.push_back("level" + std::to_string(level) + ".jpg");
    }
    std::vector<std::string> got = names_of(list_);
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
}

// Entries whose full path would not fit a node are left out rather than cut
// (a cut path names another file, which a delete would then remove).
TEST_F(FileListTest, OverlongPathsAreLeftOut) {
    std::string dir = path("/PIC");
    while (dir.size() < 400) dir += "/" + std::string(40, 'd');
    make_file(dir + "/short.jpg");
    make_file(dir + "/" + std::string(200, 'n') + ".jpg");
    file_list_scan_recurse(path("/PIC").c_str(), &list_);
    ASSERT_EQ(names_of(list_), std::vector<std::string>{"short.jpg"});
    EXPECT_EQ(std::string(list_->path), dir + "/short.jpg");
}

TEST_F(FileListTest, DirectoriesThatCannotBeOpened) {
    make_file(path("/PIC/file.jpg"));
    for (const std::string& dir : {path("/MISSING"), path("/PIC/file.jpg"), std::string()}) {
        EXPECT_EQ(file_list_scan(dir.c_str(), &list_), nullptr);
        EXPECT_EQ(file_list_scan_recurse(dir.c_str(), &list_), nullptr);
    }
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(file_list_scan(nullptr, &list_), nullptr);
    EXPECT_EQ(file_list_scan_recurse(path("/PIC").c_str(), nullptr), nullptr);
    // A subdirectory without read permission (only effective without root
    // rights) is skipped while the rest is listed.
    make_file(path("/PIC/locked/hidden.jpg"));
    chmod(path("/PIC/locked").c_str(), 0);
    file_list_scan_recurse(path("/PIC").c_str(), &list_);
    chmod(path("/PIC/locked").c_str(), 0755);
    EXPECT_NE(file_list_find("file.jpg", list_), nullptr);
    if (geteuid() != 0) {
        EXPECT_EQ(file_list_find("hidden.jpg", list_), nullptr);
    }
}

TEST_F(FileListTest, FindDeleteAndCountWithDuplicateNames) {
    make_file(path("/PIC/one/same.jpg"));
    make_file(path("/PIC/two/same.jpg"));
    ASSERT_EQ(file_list_append(file_list_new_node("same.jpg", path("/PIC/one/same.jpg").c_str(), 1),
                               &list_),
              0);
    ASSERT_EQ(file_list_append(file_list_new_node("same.jpg", path("/PIC/two/same.jpg").c_str(), 1),
                               &list_),
              0);
    ASSERT_EQ(
        file_list_append(file_list_new_node("gone.jpg", path("/PIC/gone.jpg").c_str(), 1), &list_),
        0);
    EXPECT_EQ(file_list_count(list_), 3);
    EXPECT_EQ(std::string(file_list_find("same.jpg", list_)->path), path("/PIC/one/same.jpg"));
    EXPECT_EQ(file_list_find("other.jpg", list_), nullptr);
    EXPECT_EQ(file_list_find(nullptr, list_), nullptr);

    // file_delete removes the first one from disk and list; the second stays.
    EXPECT_EQ(file_delete("same.jpg", &list_), 0);
    EXPECT_FALSE(stdfs::exists(path("/PIC/one/same.jpg")));
    EXPECT_TRUE(stdfs::exists(path("/PIC/two/same.jpg")));
    EXPECT_EQ(std::string(file_list_find("same.jpg", list_)->path), path("/PIC/two/same.jpg"));
    // A file that cannot be removed keeps its node; a name not listed is no error.
    EXPECT_EQ(file_delete("gone.jpg", &list_), -1);
    EXPECT_NE(file_list_find("gone.jpg", list_), nullptr);
    EXPECT_EQ(file_delete("not-listed.jpg", &list_), 0);
    EXPECT_EQ(file_list_count(list_), 2);

    // file_list_delete unlinks without touching the disk.
    EXPECT_EQ(file_list_delete("same.jpg", &list_), 0);
    EXPECT_TRUE(stdfs::exists(path("/PIC/two/same.jpg")));
    EXPECT_EQ(file_list_delete("same.jpg", &list_), -1);
    EXPECT_EQ(names_of(list_), std::vector<std::string>{"gone.jpg"});
    EXPECT_EQ(file_list_free(&list_), 0);
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(file_list_free(&list_), -1);
    EXPECT_EQ(file_list_count(nullptr), -1);
}

TEST(FileListNode, LongTextsAreCutAndTerminated) {
    const std::string longName(700, 'n');
    const std::string longPath = "/x/" + std::string(700, 'p');
    file_list_node* n = file_list_new_node(longName.c_str(), longPath.c_str(), 3);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(strlen(n->name), FILE_LIST_NAME_SIZE - 1);
    EXPECT_EQ(strlen(n->path), FILE_LIST_PATH_SIZE - 1);
    EXPECT_EQ(n->type, 3);
    EXPECT_EQ(n->next, nullptr);
    free(n);
    EXPECT_EQ(file_list_new_node(nullptr, "/x", 1), nullptr);
    EXPECT_EQ(file_list_new_node("x", nullptr, 1), nullptr);
}

TEST_F(FileListTest, ReadSeekAndRemoveBeyond4GiB) {
    const std::string f = path("/VIDEO/big.MP4");
    make_file(f, (5ULL << 30) + 3);
    {
        const int fd = open(f.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, "xyz", 3, static_cast<off_t>(5ULL << 30)), 3);
        close(fd);
    }
    FILE* fp = file_open(f.c_str());
    ASSERT_NE(fp, nullptr);
    char buf[16] = {};
    EXPECT_EQ(file_seek(fp, 5ULL << 30), 0);
    EXPECT_EQ(file_read(fp, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(file_read(fp, buf, sizeof buf), 0);  // end of file
    EXPECT_EQ(file_seek(fp, UINT64_MAX), -1);
    EXPECT_EQ(file_close(fp), 0);
    EXPECT_EQ(file_open(path("/VIDEO/none.MP4").c_str()), nullptr);
    EXPECT_EQ(file_read(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(file_seek(nullptr, 0), -1);
    EXPECT_EQ(file_close(nullptr), -1);

    EXPECT_EQ(fs_file_exist(f.c_str()), 1);
    EXPECT_EQ(fs_dir_exist(path("/VIDEO").c_str()), 1);
    EXPECT_EQ(file_remove(f.c_str()), 0);
    EXPECT_EQ(fs_file_exist(f.c_str()), 0);
    EXPECT_EQ(file_remove(f.c_str()), -1);
    EXPECT_EQ(fs_dir_exist(path("/NOPE").c_str()), 0);
    EXPECT_EQ(fs_dir_exist(nullptr), 0);
    EXPECT_EQ(fs_file_exist(nullptr), 0);
}

}  // namespace
