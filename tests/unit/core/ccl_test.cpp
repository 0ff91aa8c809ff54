// Configuration store: the ordered tree against std::map, the iterators'
// rebalancing of deep trees, the key/value parser and the global instance.
#include "core/ccl.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "board/sim/board_sim.h"

namespace {

namespace fs = std::filesystem;
using Pairs = std::vector<std::pair<std::string, std::string>>;

int compare_ints(const void* a, const void* b, void* /*param*/) {
    const int x = *static_cast<const int*>(a);
    const int y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

uint32_t tree_height(const bst_tree_node* node) {
    if (node == nullptr) return 0;
    return 1 + std::max(tree_height(node->link[0]), tree_height(node->link[1]));
}

std::vector<int> forward(bst_tree* tree) {
    std::vector<int> keys;
    bst_iter iter;
    for (void* item = bst_t_first(&iter, tree); item != nullptr; item = bst_t_next(&iter)) {
        keys.push_back(*static_cast<int*>(item));
    }
    return keys;
}

std::vector<int> backward(bst_tree* tree) {
    std::vector<int> keys;
    bst_iter iter;
    for (void* item = bst_t_last(&iter, tree); item != nullptr; item = bst_t_prev(&iter)) {
        keys.push_back(*static_cast<int*>(item));
    }
    return keys;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "ccl-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::string& text) const {
        const std::string file = path_ + "/" + name;
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Pairs all_pairs(ccl_config* config) {
    Pairs pairs;
    ccl_reset(config);
    for (const ccl_pair* pair = ccl_iterate(config); pair != nullptr; pair = ccl_iterate(config)) {
        pairs.emplace_back(pair->key, pair->value);
    }
    return pairs;
}

// ---------------------------------------------------------------------------
// Tree

TEST(BstTree, RandomInsertDeleteMatchesStdMap) {
    std::mt19937 rng(20240611);
    std::vector<int> pool(256);
    for (int i = 0; i < 256; ++i) pool[i] = i;
    bst_tree* tree = bst_create(compare_ints, nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    std::map<int, int*> model;

    for (int step = 0; step < 20000; ++step) {
        int* key = &pool[rng() % pool.size()];
        const unsigned op = rng() % 10;
        if (op < 5) {
            void* existing = bst_insert(tree, key);
            const bool inserted = model.emplace(*key, key).second;
            EXPECT_EQ(existing, inserted ? nullptr : model[*key]);
        } else if (op < 9) {
            void* removed = bst_delete(tree, key);
            const auto it = model.find(*key);
            EXPECT_EQ(removed, it == model.end() ? nullptr : it->second);
            if (it != model.end()) model.erase(it);
        } else {
            const auto it = model.find(*key);
            EXPECT_EQ(bst_find(tree, key), it == model.end() ? nullptr : it->second);
        }
        ASSERT_EQ(tree->count, model.size()) << "step " << step;
        if (step % 500 == 0) {
            std::vector<int> expected;
            for (const auto& entry : model) expected.push_back(entry.first);
            ASSERT_EQ(forward(tree), expected) << "step " << step;
            std::reverse(expected.begin(), expected.end());
            ASSERT_EQ(backward(tree), expected) << "step " << step;
        }
    }

    // An iterator survives deletions of other items (its stack is rebuilt)
    // and a rebalance, and still steps to the right neighbour.
    ASSERT_GE(model.size(), 10u);
    auto middle = std::next(model.begin(), static_cast<long>(model.size() / 2));
    bst_iter iter;
    ASSERT_EQ(bst_t_find(&iter, tree, middle->second), middle->second);
    const auto after = std::next(middle);
    const auto before = std::prev(middle);
    const uint32_t generation = tree->generation;
    EXPECT_EQ(bst_delete(tree, std::next(after)->second), std::next(after)->second);
    model.erase(std::next(after));
    bst_balance(tree);
    EXPECT_EQ(tree->generation, generation + 2);
    EXPECT_EQ(bst_t_next(&iter), after->second);
    EXPECT_EQ(bst_t_prev(&iter), middle->second);
    EXPECT_EQ(bst_t_prev(&iter), before->second);

    // A balanced tree holds the same items in the least height.
    std::vector<int> expected;
    for (const auto& entry : model) expected.push_back(entry.first);
    EXPECT_EQ(forward(tree), expected);
    uint32_t minimal = 0;
    while ((1ull << minimal) < model.size() + 1) ++minimal;
    EXPECT_EQ(tree_height(tree->root), minimal);

    // A copy has the same shape and items.
    bst_tree* copy = bst_copy(tree, nullptr, nullptr, nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->count, tree->count);
    EXPECT_EQ(tree_height(copy->root), minimal);
    EXPECT_EQ(forward(copy), expected);
    bst_destroy(copy, nullptr);
    bst_destroy(tree, nullptr);
}

TEST(BstTree, IterationPastThirtyTwoLevelsRebalances) {
    std::vector<int> keys(40);
    for (int i = 0; i < 40; ++i) keys[i] = i;
    bst_tree* tree = bst_create(compare_ints, nullptr, nullptr);
    for (int& key : keys) ASSERT_EQ(bst_insert(tree, &key), nullptr);
    ASSERT_EQ(tree_height(tree->root), 40u);  // ascending keys make a chain

    bst_iter iter;
    ASSERT_EQ(*static_cast<int*>(bst_t_first(&iter, tree)), 0);
    // Step n pushes n ancestors; the 33rd step would need 33 and rebalances.
    for (int step = 1; step <= 39; ++step) {
        void* item = bst_t_next(&iter);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(*static_cast<int*>(item), step);
        EXPECT_EQ(tree->generation, step < 33 ? 0u : 1u) << "after step " << step;
    }
    EXPECT_EQ(bst_t_next(&iter), nullptr);
    EXPECT_EQ(tree_height(tree->root), 6u);
    EXPECT_EQ(tree->count, 40u);
    bst_destroy(tree, nullptr);

    // The same through the parser: a file whose keys are in ascending order.
    TempDir dir;
    std::string text;
    Pairs expected;
    for (int i = 0; i < 40; ++i) {
        char key[16];
        snprintf(key, sizeof key, "key%02d", i);
        text += std::string(key) + "=" + std::to_string(i) + "\n";
        expected.emplace_back(key, std::to_string(i));
    }
    ccl_config config;
    ASSERT_EQ(ccl_parse(&config, dir.write("sorted.conf", text).c_str()), 0);
    EXPECT_EQ(tree_height(config.table->root), 40u);
    EXPECT_EQ(all_pairs(&config), expected);
    EXPECT_EQ(config.table->generation, 1u);
    ccl_release(&config);
}

struct FailingAllocator {
    bst_allocator base;
    int left;  // allocations that still succeed
};

void* failing_allocate(bst_allocator* allocator, size_t size) {
    auto* self = reinterpret_cast<FailingAllocator*>(allocator);
    return self->left-- > 0 ? malloc(size) : nullptr;
}

void failing_release(bst_allocator* /*allocator*/, void* block) {
    free(block);
}

int g_liveCopies = 0;

void* copy_int(void* item, void* /*param*/) {
    ++g_liveCopies;
    return new int(*static_cast<int*>(item));
}

void destroy_int(void* item, void* /*param*/) {
    --g_liveCopies;
    delete static_cast<int*>(item);
}

TEST(BstTree, FailedCopyReleasesWhatItCopied) {
    std::vector<int> keys{50, 20, 80, 10, 30, 70, 90, 60};
    bst_tree* tree = bst_create(compare_ints, nullptr, nullptr);
    for (int& key : keys) bst_insert(tree, &key);

    // The tree record and a few nodes succeed, then allocation fails.
    for (int budget = 0; budget <= 9; ++budget) {
        FailingAllocator allocator{{failing_allocate, failing_release}, budget};
        bst_tree* copy = bst_copy(tree, copy_int, destroy_int, &allocator.base);
        if (budget == 9) {
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(g_liveCopies, 8);
            bst_destroy(copy, destroy_int);
        } else {
            EXPECT_EQ(copy, nullptr) << "budget " << budget;
        }
        EXPECT_EQ(g_liveCopies, 0) << "budget " << budget;
    }
    bst_destroy(tree, nullptr);
}

// ---------------------------------------------------------------------------
// Parser

struct ParseCase {
    const char* name;
    char separator;
    std::string text;
    Pairs pairs;
    std::string message;  // expected standard error, "%s" = the file's path
};

TEST(CclParse, SyntaxCases) {
    const std::string longValue(3000, 'v');  // grows the token buffer, crosses read blocks
    const std::vector<ParseCase> cases = {
        {"quoted value, comment after it",
         '=',
         "ModelName = \"X 1\" # the model\n",
         {{"ModelName", "X 1"}},
         ""},
        {"first duplicate wins",
         '=',
         "a=1\na=2\n",
         {{"a", "1"}},
         ": Ignoring duplicate key 'a' (%s:2)\n"},
        {"missing key, line without separator",
         '=',
         "=5\nword\nb=2\n",
         {{"b", "2"}},
         ": Missing key (%s:1)\n"},
        {"empty value, last line without line feed", '=', "k=\nlast=1", {{"k", ""}}, ""},
        {"unterminated string",
         '=',
         "a=\"open\nb=2\n",
         {{"a", ""}, {"b", "2"}},
         ": Unterminated string (%s:1)\n"},
        {"signal list", ' ', "36 -62\n1 -70\n", {{"1", "-70"}, {"36", "-62"}}, ""},
        {"last token is the value", '=', "key = a b\n", {{"key", "b"}}, ""},
        {"quotes keep separator and comment",
         '=',
         "url=\"a=b#c\"\n\"my key\"=\"\"\n",
         {{"my key", ""}, {"url", "a=b#c"}},
         ""},
        {"carriage return is whitespace", '=', "a=1\r\nb = 2 \r\n", {{"a", "1"}, {"b", "2"}}, ""},
        {"comment lines and blank lines", '=', "# a=1\n\n   \nc=3 # x=4\n", {{"c", "3"}}, ""},
        {"long value across read blocks",
         '=',
         std::string(1000, '#') + "\nlong=" + longValue + "\n",
         {{"long", longValue}},
         ""},
    };
    TempDir dir;
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("case.conf", c.text);
        ccl_config config;
        config.sep_char = c.separator;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ccl_parse(&config, path.c_str()), 0);
        const std::string message = testing::internal::GetCapturedStderr();
        std::string expected = c.message;
        if (const size_t at = expected.find("%s"); at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(message, expected);
        EXPECT_EQ(all_pairs(&config), c.pairs);
        EXPECT_EQ(config.table->count, c.pairs.size());
        ccl_release(&config);
    }
}

TEST(CclParse, ArgumentsAndMissingFile) {
    ccl_config config;
    EXPECT_EQ(ccl_parse(nullptr, "/x"), 22);
    EXPECT_EQ(ccl_parse(&config, nullptr), 22);
    EXPECT_EQ(ccl_get(nullptr, "a"), nullptr);
    EXPECT_EQ(ccl_get(&config, "a"), nullptr);
    EXPECT_EQ(ccl_iterate(&config), nullptr);

    TempDir dir;
    const std::string path = dir.path() + "/absent.conf";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ccl_parse(&config, path.c_str()), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ": Unable to open '" + path + "'\n");
    ASSERT_NE(config.table, nullptr);
    EXPECT_EQ(config.table->count, 0u);
    EXPECT_EQ(ccl_iterate(&config), nullptr);
    ccl_release(&config);
}

TEST(CclParse, IterationOrderWrapsAndResets) {
    TempDir dir;
    ccl_config config;
    ASSERT_EQ(ccl_parse(&config, dir.write("order.conf", "b=1\na=2\nB=3\naa=4\n").c_str()), 0);
    EXPECT_STREQ(ccl_get(&config, "aa"), "4");
    EXPECT_EQ(ccl_get(&config, "A"), nullptr);  // case-sensitive

    std::vector<std::string> seen;
    for (int call = 0; call < 7; ++call) {
        const ccl_pair* pair = ccl_iterate(&config);
        seen.push_back(pair != nullptr ? pair->key : "(end)");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"B", "a", "aa", "b", "(end)", "B", "a"}));
    ccl_reset(&config);
    EXPECT_STREQ(ccl_iterate(&config)->key, "B");
    ccl_release(&config);
    EXPECT_EQ(config.table, nullptr);
}

// ---------------------------------------------------------------------------
// Global instance

class CclGlobal : public testing::Test {
protected:
    void SetUp() override {
        board_sim_set_root(dir_.path());
        fs::create_directories(dir_.path() + "/tmp");
    }
    void TearDown() override { CclExit(); }
    void write_conf(const std::string& text) { dir_.write("etc/pelora.conf", text); }

    TempDir dir_;
};

TEST_F(CclGlobal, LoadsTheCopyAndReloads) {
    write_conf("ModelName=PL1\nPTotalVer=1.0.0\nAlpha=\"x y\"\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CclInit(), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("CclInit(line=62):(Alpha,x y)\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("CclInit(line=70):keyvalue=PL1,keyvalue1=PL1\n"), std::string::npos)
        << printed;
    EXPECT_TRUE(fs::exists(dir_.path() + "/tmp/pelora.conf"));
    EXPECT_STREQ(CclGetKeyvalue("ModelName"), "PL1");
    EXPECT_EQ(CclGetConfigNum(), 3u);

    Pairs list;
    EXPECT_EQ(CclGetConfigList(&list), 3);
    EXPECT_EQ(list, (Pairs{{"Alpha", "x y"}, {"ModelName", "PL1"}, {"PTotalVer", "1.0.0"}}));
    EXPECT_EQ(CclGetConfigList(&list), 3);  // a second listing starts at the first key again

    // The upgrader rewrites the version in the original file and reloads.
    write_conf("ModelName=PL1\nPTotalVer=2.0.0\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CclReset(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(CclGetKeyvalue("PTotalVer"), "2.0.0");
    EXPECT_EQ(CclGetConfigNum(), 2u);

    EXPECT_EQ(CclExit(), 0);
    EXPECT_EQ(CclGetKeyvalue("ModelName"), nullptr);
    EXPECT_EQ(CclGetConfigNum(), 0u);
    EXPECT_EQ(CclGetConfigList(&list), 0);
}

TEST_F(CclGlobal, MissingFileLeavesAnEmptyMap) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(CclInit(), 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_NE(errors.find(": Unable to open '"), std::string::npos) << errors;
    EXPECT_EQ(CclGetConfigNum(), 0u);
    EXPECT_EQ(CclGetKeyvalue("ModelName"), nullptr);
}

}  // namespace
