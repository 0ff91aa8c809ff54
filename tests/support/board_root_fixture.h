// A temporary board root for tests that touch board paths: created with the
// directories the test names, made the simulated board's root, removed after.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "board/sim/board_sim.h"

class TempBoardRoot {
public:
    explicit TempBoardRoot(std::initializer_list<const char*> dirs = {}) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vboard-test-XXXXXX").string();
        root_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        for (const char* dir : dirs) std::filesystem::create_directories(path(dir));
        board_sim_set_root(root_);
    }
    ~TempBoardRoot() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempBoardRoot(const TempBoardRoot&) = delete;
    TempBoardRoot& operator=(const TempBoardRoot&) = delete;

    const std::string& root() const { return root_; }
    // Host path of a board path ("/tmp/SD0" -> "<root>/tmp/SD0").
    std::string path(const std::string& boardPath) const { return root_ + boardPath; }
    void write(const std::string& boardPath, const std::string& text) const {
        std::filesystem::create_directories(std::filesystem::path(path(boardPath)).parent_path());
        std::ofstream(path(boardPath)) << text;
    }
    std::string read(const std::string& boardPath) const {
        std::ifstream in(path(boardPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool exists(const std::string& boardPath) const {
        return std::filesystem::exists(path(boardPath));
    }

private:
    std::string root_;
};
