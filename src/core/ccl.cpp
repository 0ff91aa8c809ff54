#include "core/ccl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>

#include "board/board.h"

// ===========================================================================
// Key/value file parser

namespace {

int compare_pairs(const void* a, const void* b, void* /*param*/) {
    return strcmp(static_cast<const ccl_pair*>(a)->key, static_cast<const ccl_pair*>(b)->key);
}

void destroy_pair(void* item, void* /*param*/) {
    auto* pair = static_cast<ccl_pair*>(item);
    free(pair->key);
    free(pair->value);
    free(pair);
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr size_t kReadBlock = 1024;
constexpr size_t kTokenStart = 32;

enum class ScanState { between, comment, quoted, unquoted };

// The scanner's state, carried across read blocks.
class Scanner {
public:
    Scanner(ccl_config* config, const char* path) : config_(config), path_(path) {}
    ~Scanner() {
        free(token_);
        free(key_);
    }
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Scans one character; false on allocation failure.
    bool scan(char c) {
        switch (state_) {
            case ScanState::between:
                if (c == config_->comment_char) {
                    state_ = ScanState::comment;
                } else if (c == config_->quote_char) {
                    start_token();
                    state_ = ScanState::quoted;
                } else if (c == '\n') {
                    return end_of_line();
                } else if (c == config_->sep_char) {
                    return separator();
                } else if (!is_space(c)) {
                    start_token();
                    state_ = ScanState::unquoted;
                    return append(c);
                }
                return true;
            case ScanState::comment:
                return c == '\n' ? end_of_line() : true;
            case ScanState::quoted:
                if (c == config_->quote_char) {
                    present_ = true;
                    state_ = ScanState::between;
                    return true;
                }
                if (c == '\n') {
                    fprintf(stderr, ": Unterminated string (%s:%i)\n", path_, line_);
                    return end_of_line();
                }
                return append(c);
            case ScanState::unquoted:
                if (c == config_->comment_char) {
                    present_ = true;
                    state_ = ScanState::comment;
                    return true;
                }
                if (c == '\n') {
                    present_ = true;
                    return end_of_line();
                }
                if (c == config_->sep_char) {
                    present_ = true;
                    return separator();
                }
                if (is_space(c)) {
                    present_ = true;
                    state_ = ScanState::between;
                    return true;
                }
                return append(c);
        }
        return true;
    }

private:
    void start_token() {
        length_ = 0;
        present_ = false;
    }

    bool append(char c) {
        // Room for the character and the terminating zero.
        if (length_ + 1 >= capacity_) {
            const size_t grown = capacity_ == 0 ? kTokenStart : 2 * capacity_;
            auto* buffer = static_cast<char*>(realloc(token_, grown));
            if (buffer == nullptr) return false;
            token_ = buffer;
            capacity_ = grown;
        }
        token_[length_++] = c;
        token_[length_] = '\0';
        return true;
    }

    const char* token() const { return length_ > 0 ? token_ : ""; }

    void drop_key() {
        free(key_);
        key_ = nullptr;
    }

    bool separator() {
        state_ = ScanState::between;
        drop_key();
        if (!present_) {
            fprintf(stderr, ": Missing key (%s:%i)\n", path_, line_);
        } else {
            ccl_pair probe{const_cast<char*>(token()), nullptr};
            if (bst_find(config_->table, &probe) != nullptr) {
                fprintf(stderr, ": Ignoring duplicate key '%s' (%s:%i)\n", token(), path_, line_);
            } else {
                key_ = strdup(token());
                if (key_ == nullptr) return false;
            }
        }
        present_ = false;
        return true;
    }

    bool end_of_line() {
        bool stored = true;
        if (key_ != nullptr) stored = store(present_ ? token() : "");
        present_ = false;
        ++line_;
        state_ = ScanState::between;
        return stored;
    }

    bool store(const char* value) {
        auto* pair = static_cast<ccl_pair*>(malloc(sizeof(ccl_pair)));
        char* copy = strdup(value);
        if (pair == nullptr || copy == nullptr) {
            free(pair);
            free(copy);
            return false;
        }
        pair->key = key_;
        pair->value = copy;
        key_ = nullptr;
        // The key was checked against the table at its separator. The slot
        // holds the new pair when it went in; a different pair would mean the
        // key was there after all, and null that no node could be allocated.
        void** slot = bst_probe(config_->table, pair);
        if (slot == nullptr || *slot != pair) destroy_pair(pair, nullptr);
        return slot != nullptr;
    }

    ccl_config* config_;
    const char* path_;
    ScanState state_ = ScanState::between;
    char* token_ = nullptr;
    size_t capacity_ = 0;
    size_t length_ = 0;
    bool present_ = false;
    char* key_ = nullptr;  // pending key, owned until stored
    int line_ = 1;
};

}  // namespace

int ccl_parse(ccl_config* config, const char* path) {
    if (config == nullptr || path == nullptr) return EINVAL;
    // A table left from an earlier parse is released rather than lost.
    ccl_release(config);
    config->table = bst_create(compare_pairs, nullptr, nullptr);
    if (config->table == nullptr) return ENOMEM;
    bst_t_init(&config->iter, config->table);
    config->iterating = 0;

    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, ": Unable to open '%s'\n", path);
        return ENOENT;
    }
    Scanner scanner(config, path);
    char block[kReadBlock];
    int result = 0;
    for (;;) {
        const ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got && result == 0; ++i) {
            if (!scanner.scan(block[i])) result = ENOMEM;
        }
        if (result != 0) break;
    }
    close(fd);
    return result;
}

const char* ccl_get(const ccl_config* config, const char* key) {
    if (config == nullptr || key == nullptr || config->table == nullptr) return nullptr;
    ccl_pair probe{const_cast<char*>(key), nullptr};
    const auto* pair = static_cast<const ccl_pair*>(bst_find(config->table, &probe));
    return pair != nullptr ? pair->value : nullptr;
}

const ccl_pair* ccl_iterate(ccl_config* config) {
    if (config == nullptr || config->table == nullptr) return nullptr;
    if (config->iterating == 0) {
        config->iterating = 1;
        return static_cast<const ccl_pair*>(bst_t_first(&config->iter, config->table));
    }
    return static_cast<const ccl_pair*>(bst_t_next(&config->iter));
}

void ccl_reset(ccl_config* config) {
    if (config != nullptr) config->iterating = 0;
}

void ccl_release(ccl_config* config) {
    if (config == nullptr) return;
    bst_destroy(config->table, destroy_pair);
    config->table = nullptr;
    bst_t_init(&config->iter, nullptr);
    config->iterating = 0;
}

// ===========================================================================
// The program's configuration

namespace {

struct PlrCcl {
    ccl_config config;
    uint32_t count = 0;  // pairs found at the last load
};

std::mutex g_cclMutex;
PlrCcl plrccl;
// Snapshot of plrccl.config taken at the end of every load; readers iterate
// copies of it and never touch the global iterator.
ccl_config plrconfig;

void ccl_load_locked() {
    ccl_release(&plrccl.config);
    plrccl = PlrCcl{};
    plrccl.config.comment_char = '#';
    plrccl.config.sep_char = '=';
    plrccl.config.quote_char = '"';

    std::error_code error;
    std::filesystem::copy_file(board_path(PLR_CONFIG_FILE), board_path(PLR_CONFIG_COPY),
                               std::filesystem::copy_options::overwrite_existing, error);
    ccl_parse(&plrccl.config, board_path(PLR_CONFIG_COPY).c_str());

    const ccl_pair* pair;
    while ((pair = ccl_iterate(&plrccl.config)) != nullptr) {
        ++plrccl.count;
        printf("%s(line=%d):(%s,%s)\n", "CclInit", 62, pair->key, pair->value);
    }
    plrconfig = plrccl.config;
    const char* model = ccl_get(&plrccl.config, "ModelName");
    printf("%s(line=%d):keyvalue=%s,keyvalue1=%s\n", "CclInit", 70,
           model != nullptr ? model : "(null)", model != nullptr ? model : "(null)");
    fflush(stdout);
}

void ccl_exit_locked() {
    ccl_release(&plrccl.config);
    plrccl.count = 0;
    plrconfig = ccl_config{};
}

}  // namespace

int CclInit() {
    std::lock_guard lock(g_cclMutex);
    ccl_load_locked();
    return 0;
}

const char* CclGetKeyvalue(const char* key) {
    std::lock_guard lock(g_cclMutex);
    return ccl_get(&plrccl.config, key);
}

uint32_t CclGetConfigNum() {
    std::lock_guard lock(g_cclMutex);
    return plrccl.count;
}

int CclExit() {
    std::lock_guard lock(g_cclMutex);
    ccl_exit_locked();
    return 0;
}

int CclReset() {
    // One lock hold: no reader sees the empty map between unload and load.
    std::lock_guard lock(g_cclMutex);
    ccl_exit_locked();
    ccl_load_locked();
    return 0;
}

int CclSetFileValue(const char* key, const char* value) {
    if (key == nullptr || value == nullptr || *key == '\0' || strpbrk(value, "\"\r\n") != nullptr ||
        strpbrk(key, "\"\r\n=# ") != nullptr) {
        return -1;
    }
    bool plain = *value != '\0';
    for (const char* c = value; *c != '\0'; ++c) {
        if (strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+-", *c) ==
            nullptr) {
            plain = false;
        }
    }
    const std::string prefix = std::string(key) + "=";
    std::string entry = prefix;
    if (plain) {
        entry += value;
    } else {
        entry += '"';
        entry += value;
        entry += '"';
    }
    std::lock_guard lock(g_cclMutex);
    const std::string path = board_path(PLR_CONFIG_FILE);
    std::ifstream in(path);
    std::ostringstream text;
    bool found = false;
    std::string line;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) {
            line = entry;
            found = true;
        }
        text << line << '\n';
    }
    if (!found) text << entry << '\n';
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return -1;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return -1;
    }
    return 0;
}

int CclGetConfigList(std::vector<std::pair<std::string, std::string>>* pairs) {
    if (pairs == nullptr) return -1;
    std::lock_guard lock(g_cclMutex);
    ccl_config local = plrconfig;
    ccl_reset(&local);
    try {
        pairs->clear();
        pairs->reserve(plrccl.count);
        const ccl_pair* pair;
        while ((pair = ccl_iterate(&local)) != nullptr) pairs->emplace_back(pair->key, pair->value);
    } catch (const std::bad_alloc&) {
        pairs->clear();
        return -1;
    }
    return static_cast<int>(pairs->size());
}
