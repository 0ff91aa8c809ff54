// The firmware sets the board may install, one per board: the files of its
// data-partition directory that passed their MD5 at upload, each recorded
// with that MD5; whether the phone has declared the set complete (its
// FILE_RESTART seals it); and which set of a card has been installed already,
// so that a card image is installed at most once per card insertion. A set is
// checked in full right before it is installed or sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The records: one file per board, named after its firmware directory.
inline constexpr const char* FW_SETS_DIR = "/userdata/fwsets";

// Records file `name` of board `sys`, just put in place, with its MD5 (32
// lowercase hexadecimal digits); the board's set is open until the next seal.
// 0, or -1 when the record cannot be written.
int fw_set_record(uint32_t sys, const std::string& name, const std::string& md5);
// FILE_RESTART: every board's recorded set is complete.
void fw_set_seal_all();
// A failed install: the files stay, but wait for the phone's next FILE_RESTART.
void fw_set_unseal(uint32_t sys);
bool fw_set_sealed(uint32_t sys);
// True when any file of the board's data-partition set is recorded.
bool fw_set_has_uploads(uint32_t sys);
// The board's set is installed or deleted: its record goes.
void fw_set_forget(uint32_t sys);
// The recorded MD5 of file `name` of board `sys`; "" when it has none.
std::string fw_set_md5(uint32_t sys, const std::string& name);

// A set as checked: its firmware files (host paths, by name; signatures
// left out), their MD5s, and one text naming the whole set (its files' MD5s).
struct FwSetFiles {
    std::vector<std::string> files;
    std::vector<std::string> md5s;
    std::string digest;
};
// Checks the set of board `sys` in the board directory `dir` right before it
// is installed or sent: every file within the board's size limit, with its
// valid signature when the board holds a key; for the data partition
// (`recorded`) every file recorded with the MD5 it has now and every recorded
// file present. 0, or -1 with the reason in `why`.
int fw_set_check(uint32_t sys, const std::string& dir, bool recorded, FwSetFiles* out,
                 std::string* why);

// The card set of board `sys` named by `digest` was installed (or tried):
// not again while the card stays in.
void fw_card_mark(uint32_t sys, const std::string& digest);
bool fw_card_marked(uint32_t sys, const std::string& digest);
// The card's set of board `sys` is gone (card out): the next one counts anew.
void fw_card_forget(uint32_t sys);

// Replaces the board file `path` with `text` durably (a temporary file,
// fsync, rename, fsync of the directory). 0, or -1.
int fw_store_text(const std::string& path, const std::string& text);
// fsync of a directory (host path), so that a rename in it lasts. 0, or -1.
int fw_fsync_dir(const std::string& hostDir);
// The board file's text; "" when it cannot be read.
std::string fw_load_text(const std::string& path);
// One text naming the regular files of board directory `dir` (their names
// and MD5s, by name); "" when the directory cannot be read.
std::string fw_dir_digest(const std::string& dir);
