// Ordered tree: an unbalanced binary search tree with a pluggable allocator,
// structure-preserving copies, Day-Stout-Warren rebalancing and external
// iterators that survive deletions and rebalances (rebalancing the tree
// themselves when it grows too deep to follow). Items are owned by the
// caller; the tree only holds pointers to them.
#pragma once

#include <cstddef>
#include <cstdint>

// Maximum tree height an iterator can follow; a traversal step that would go
// deeper rebalances the whole tree first.
inline constexpr uint32_t BST_MAX_HEIGHT = 32;

// Negative, zero or positive like strcmp.
using bst_comparison_func = int (*)(const void* a, const void* b, void* param);
// Called for an item (destroying or visiting it).
using bst_item_func = void (*)(void* item, void* param);
// Returns a copy of the item, or null on failure.
using bst_copy_func = void* (*)(void* item, void* param);

struct bst_allocator {
    void* (*allocate)(bst_allocator* allocator, size_t size);
    void (*release)(bst_allocator* allocator, void* block);
};

// The default allocator: malloc and free.
void* bst_malloc(bst_allocator* allocator, size_t size);
void bst_free(bst_allocator* allocator, void* block);
extern bst_allocator bst_allocator_default;

struct bst_tree_node {
    bst_tree_node* link[2];  // [0] left (smaller), [1] right (greater)
    void* item;
};

struct bst_tree {
    bst_tree_node* root;
    bst_comparison_func compare;
    void* param;
    bst_allocator* allocator;
    uint32_t count;
    // Bumped by every deletion and every rebalance: iterators whose ancestor
    // stack was built under another generation rebuild it.
    uint32_t generation;
};

struct bst_iter {
    bst_tree* tree;
    bst_tree_node* node;  // null: before the first / after the last item
    bst_tree_node* stack[BST_MAX_HEIGHT];
    uint32_t height;
    uint32_t generation;
};

bst_tree* bst_create(bst_comparison_func compare, void* param, bst_allocator* allocator);
void* bst_find(const bst_tree* tree, const void* item);
// Finds an equal item or inserts `item` as a new leaf; returns the slot that
// holds the found or inserted item, or null when no node could be allocated.
void** bst_probe(bst_tree* tree, void* item);
// Null when inserted (or on allocation failure), else the existing equal item.
void* bst_insert(bst_tree* tree, void* item);
// Null when inserted (or on allocation failure), else the replaced item.
void* bst_replace(bst_tree* tree, void* item);
// Removes the equal item; returns it, or null when absent.
void* bst_delete(bst_tree* tree, const void* item);
// Insert / delete that abort the program when the item was not inserted / found.
void* bst_assert_insert(bst_tree* tree, void* item);
void* bst_assert_delete(bst_tree* tree, void* item);
// Structure-preserving copy with `allocator` (null: the source tree's). `copy`
// null shares the items. On failure the partial copy is destroyed (its items
// with `destroy` only when they were copies) and null is returned.
bst_tree* bst_copy(const bst_tree* tree, bst_copy_func copy, bst_item_func destroy,
                   bst_allocator* allocator);
// Releases every node (calling `destroy` on each non-null item) and the tree.
void bst_destroy(bst_tree* tree, bst_item_func destroy);
// Rebuilds the tree as a balanced tree (Day-Stout-Warren).
void bst_balance(bst_tree* tree);

// Iterators. The item under an iterator must not be deleted while the
// iterator is still used; other deletions and rebalances are noticed.
void bst_t_init(bst_iter* iter, bst_tree* tree);
void* bst_t_first(bst_iter* iter, bst_tree* tree);
void* bst_t_last(bst_iter* iter, bst_tree* tree);
void* bst_t_find(bst_iter* iter, bst_tree* tree, void* item);
void* bst_t_insert(bst_iter* iter, bst_tree* tree, void* item);
void* bst_t_copy(bst_iter* iter, const bst_iter* source);
void* bst_t_next(bst_iter* iter);
void* bst_t_prev(bst_iter* iter);
void* bst_t_cur(const bst_iter* iter);
void* bst_t_replace(bst_iter* iter, void* item);
