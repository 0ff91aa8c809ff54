// Catalogue rescan: the recursive file list scan of a media tree of 1000
// files in three directories (photos, thumbnails, videos), building and
// freeing the lists, against a bare readdir walk of the same tree measured in
// the same run. The ratio is what the list building costs over reading the
// directories at all.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_ratio.h"
#include "fs/file_list.h"

namespace {

constexpr int kFiles = 1000;
const char* const kDirs[] = {"PIC", "THUMB", "VIDEO"};

// The media tree, made once in a temporary directory.
class MediaTree {
public:
    MediaTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vboard-fs-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        root_ = pattern;
        for (const char* d : kDirs) std::filesystem::create_directories(root_ + "/" + d);
        for (int i = 0; i < kFiles; ++i) {
            char name[64];
            const int dir = i % 3;
            snprintf(name, sizeof name, dir == 2 ? "/%s/20261210_%06d.MP4" : "/%s/IMG_%06d.jpg",
                     kDirs[dir], i);
            close(creat((root_ + name).c_str(), 0644));
        }
    }
    ~MediaTree() {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }
    std::string dir(int i) const { return root_ + "/" + kDirs[i]; }
    bool ok() const { return !root_.empty(); }

private:
    std::string root_;
};

const MediaTree& tree() {
    static const MediaTree t;
    return t;
}

void BM_ReaddirWalk(benchmark::State& state) {
    if (!tree().ok()) {
        state.SkipWithError("no media tree");
        return;
    }
    const std::string dirs[3] = {tree().dir(0), tree().dir(1), tree().dir(2)};
    for (auto _ : state) {
        int count = 0;
        for (const std::string& d : dirs) {
            DIR* dir = opendir(d.c_str());
            while (const dirent* e = readdir(dir)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++count;
            }
            closedir(dir);
        }
        benchmark::DoNotOptimize(count);
    }
}

void BM_FileListRescan(benchmark::State& state) {
    if (!tree().ok()) {
        state.SkipWithError("no media tree");
        return;
    }
    const std::string dirs[3] = {tree().dir(0), tree().dir(1), tree().dir(2)};
    file_list_node* lists[3] = {};
    for (auto _ : state) {
        for (int i = 0; i < 3; ++i) {
            file_list_free(&lists[i]);
            file_list_scan_recurse(dirs[i].c_str(), &lists[i]);
        }
        benchmark::DoNotOptimize(lists);
    }
    int total = 0;
    for (file_list_node*& l : lists) {
        total += file_list_count(l);
        file_list_free(&l);
    }
    if (total != kFiles) state.SkipWithError("scan lost files");
}

BENCHMARK(BM_ReaddirWalk)->MinTime(1.0);
BENCHMARK(BM_FileListRescan)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    return bench_ratio_main(
        argc, argv,
        {{"BM_FileListRescan/min_time:1.000", "BM_ReaddirWalk/min_time:1.000",
          "catalogue rescan of 1000 files over a bare readdir walk (time per rescan)"}});
}
