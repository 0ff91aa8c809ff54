// Configuration store: a parser for key/value text files that fills an
// ordered tree of pairs (core/bst.h) with a lookup and an iteration over it,
// and the program's one configuration instance loaded from "/etc/pelora.conf".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/bst.h"

// ---------------------------------------------------------------------------
// Key/value file parser.

struct ccl_pair {
    char* key;  // heap strings owned by the pair
    char* value;
};

struct ccl_config {
    char comment_char = '#';
    char sep_char = '=';
    char quote_char = '"';
    bst_tree* table = nullptr;  // ccl_pair items ordered by key (strcmp)
    bst_iter iter{};
    int iterating = 0;  // 0 until the first ccl_iterate
};

// Parses the file at `path` into `config` (whose three characters the caller
// has set). Returns 0, 22 for a null argument, 2 when the file cannot be
// opened, 12 on allocation failure (the pairs stored so far are kept). Syntax
// problems are reported on standard error and never fail the parse.
int ccl_parse(ccl_config* config, const char* path);
// The value of `key`, or null (null config or key, absent key).
const char* ccl_get(const ccl_config* config, const char* key);
// First call: the pair with the smallest key; then the next ones; null after
// the last; the call after that null starts again at the smallest key.
const ccl_pair* ccl_iterate(ccl_config* config);
// The next ccl_iterate starts at the smallest key.
void ccl_reset(ccl_config* config);
// Destroys the table with every pair.
void ccl_release(ccl_config* config);

// ---------------------------------------------------------------------------
// The program's configuration: "/etc/pelora.conf", copied to
// "/tmp/pelora.conf" and parsed from there. Loads and lookups are locked
// against each other, so a reload on the upgrade thread and the parameter list
// on the MAVLink thread never meet.

inline constexpr const char* PLR_CONFIG_FILE = "/etc/pelora.conf";
inline constexpr const char* PLR_CONFIG_COPY = "/tmp/pelora.conf";

int CclInit();
// The value of `key` at the last load, or null. The text stays valid until
// the next CclReset or CclExit.
const char* CclGetKeyvalue(const char* key);
// Number of pairs found at the last load.
uint32_t CclGetConfigNum();
int CclExit();
int CclReset();
// Sets `key` to `value` in "/etc/pelora.conf" itself (every line that starts
// with "key=" is replaced; the line is added when there is none), written to
// a new file that then replaces the old one. Values other than plain words
// are quoted. The loaded configuration is unchanged until CclReset. 0, or -1
// for a null argument, a value holding '"' or a line break, or a failed write.
int CclSetFileValue(const char* key, const char* value);
// Copies every pair of the last load, in key order, into `pairs` (replacing
// its contents). Iterates a private copy of the load's record, so the global
// iterator is never disturbed. Returns the number of pairs, or -1.
int CclGetConfigList(std::vector<std::pair<std::string, std::string>>* pairs);
