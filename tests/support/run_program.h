// Runs a program of the build for a test and collects its exit status and
// its standard output and error.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

#ifndef VBOARD_TEST_EMULATOR
#define VBOARD_TEST_EMULATOR ""
#endif

struct ProgramRun {
    int status = -1;  // exit status, 128 + signal, or -1 when it could not start
    std::string out;
    std::string err;
};

// The whole content of a file (binary).
inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The command line that runs `program` of the build with `args`: in a cross
// build through the emulator the tests run through (VBOARD_TEST_EMULATOR: its
// path and options, or empty).
inline std::vector<std::string> program_command(const std::string& program,
                                                const std::vector<std::string>& args) {
    std::vector<std::string> words;
    std::istringstream emulator(VBOARD_TEST_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

inline ProgramRun run_program(const std::string& program, const std::vector<std::string>& args) {
    static std::atomic<int> counter{0};
    const std::string base =
        testing::TempDir() + "run_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    const std::string outPath = base + ".out";
    const std::string errPath = base + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> words = program_command(program, args);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ProgramRun run;
    pid_t pid = 0;
    if (posix_spawn(&pid, words[0].c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return run;
}
