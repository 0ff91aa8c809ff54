#include "core/bst.h"

#include <cstdio>
#include <cstdlib>

void* bst_malloc(bst_allocator* /*allocator*/, size_t size) {
    return malloc(size);
}

void bst_free(bst_allocator* /*allocator*/, void* block) {
    free(block);
}

bst_allocator bst_allocator_default = {bst_malloc, bst_free};

namespace {

bst_tree_node* new_node(bst_tree* tree, void* item) {
    auto* node = static_cast<bst_tree_node*>(
        tree->allocator->allocate(tree->allocator, sizeof(bst_tree_node)));
    if (node == nullptr) return nullptr;
    node->link[0] = nullptr;
    node->link[1] = nullptr;
    node->item = item;
    return node;
}

// Day-Stout-Warren, step 1: rotates every node that has a right child until
// the tree is one chain of left links, greatest item first.
void tree_to_vine(bst_tree* tree) {
    bst_tree_node** slot = &tree->root;
    while (*slot != nullptr) {
        bst_tree_node* node = *slot;
        bst_tree_node* right = node->link[1];
        if (right == nullptr) {
            slot = &node->link[0];
        } else {
            node->link[1] = right->link[0];
            right->link[0] = node;
            *slot = right;
        }
    }
}

// Turns `count` pairs of consecutive chain nodes (red above, black below) into
// a black parent with the red node as its right child, walking down the chain.
void compress(bst_tree_node** slot, uint32_t count) {
    while (count-- > 0) {
        bst_tree_node* red = *slot;
        bst_tree_node* black = red->link[0];
        red->link[0] = black->link[1];
        black->link[1] = red;
        *slot = black;
        slot = &black->link[0];
    }
}

// Day-Stout-Warren, step 2: the chain becomes a complete tree whose last
// level is filled from the left.
void vine_to_tree(bst_tree* tree) {
    const uint64_t nodes = static_cast<uint64_t>(tree->count) + 1;
    uint64_t full = nodes;  // nodes with all but the highest set bit cleared
    while ((full & (full - 1)) != 0) full &= full - 1;
    const auto leaves = static_cast<uint32_t>(nodes - full);
    compress(&tree->root, leaves);

    uint32_t vine = tree->count - leaves;
    uint32_t height = 1 + (leaves > 0 ? 1 : 0);
    while (vine > 1) {
        compress(&tree->root, vine / 2);
        vine /= 2;
        ++height;
    }
    // A 32-bit count never needs more than 32 levels; the check guards the
    // iterators' stack bound.
    if (height > BST_MAX_HEIGHT) {
        fprintf(stderr, "libavl: Tree too big (%lu nodes) to handle.",
                static_cast<unsigned long>(tree->count));
        exit(1);
    }
}

// Rebuilds the ancestor stack of the iterator's current node after the tree
// changed under it (the node itself is still in the tree: deletion relinks
// nodes, it never moves items between them). Should the search miss it, the
// iterator goes to the null position rather than keep a stale stack.
void trav_refresh(bst_iter* iter) {
    bst_tree* tree = iter->tree;
    iter->generation = tree->generation;
    if (iter->node == nullptr) return;
    const void* item = iter->node->item;
    for (;;) {
        bst_tree_node* node = tree->root;
        iter->height = 0;
        bool rebalanced = false;
        while (node != nullptr) {
            const int cmp = tree->compare(item, node->item, tree->param);
            if (cmp == 0) {
                iter->node = node;
                return;
            }
            if (iter->height >= BST_MAX_HEIGHT) {
                bst_balance(tree);
                iter->generation = tree->generation;
                rebalanced = true;
                break;
            }
            iter->stack[iter->height++] = node;
            node = node->link[cmp > 0];
        }
        if (!rebalanced) break;
    }
    iter->node = nullptr;
    iter->height = 0;
}

// Positions on the smallest (dir 0) or greatest (dir 1) item.
void* trav_edge(bst_iter* iter, bst_tree* tree, int dir) {
    bst_t_init(iter, tree);
    if (tree == nullptr) return nullptr;
    for (;;) {
        iter->height = 0;
        bst_tree_node* node = tree->root;
        bool rebalanced = false;
        if (node != nullptr) {
            while (node->link[dir] != nullptr) {
                if (iter->height >= BST_MAX_HEIGHT) {
                    bst_balance(tree);
                    iter->generation = tree->generation;
                    rebalanced = true;
                    break;
                }
                iter->stack[iter->height++] = node;
                node = node->link[dir];
            }
        }
        if (rebalanced) continue;
        iter->node = node;
        return node != nullptr ? node->item : nullptr;
    }
}

// In-order successor (dir 1) or predecessor (dir 0).
void* trav_step(bst_iter* iter, int dir) {
    if (iter->tree == nullptr) return nullptr;
    for (;;) {
        if (iter->generation != iter->tree->generation) trav_refresh(iter);
        bst_tree_node* node = iter->node;
        if (node == nullptr) return trav_edge(iter, iter->tree, 1 - dir);

        if (node->link[dir] != nullptr) {
            // Descend into the subtree on `dir`, then to its far opposite end.
            uint32_t height = iter->height;
            bool rebalanced = false;
            bst_tree_node* next = node;
            if (height >= BST_MAX_HEIGHT) {
                rebalanced = true;
            } else {
                iter->stack[height++] = next;
                next = next->link[dir];
                while (next->link[1 - dir] != nullptr) {
                    if (height >= BST_MAX_HEIGHT) {
                        rebalanced = true;
                        break;
                    }
                    iter->stack[height++] = next;
                    next = next->link[1 - dir];
                }
            }
            if (rebalanced) {
                // The stack entries written above are rebuilt by the refresh.
                bst_balance(iter->tree);
                continue;
            }
            iter->height = height;
            iter->node = next;
            return next->item;
        }

        // Climb until the node was reached from its other side.
        bst_tree_node* child;
        do {
            if (iter->height == 0) {
                iter->node = nullptr;
                return nullptr;
            }
            child = node;
            node = iter->stack[--iter->height];
        } while (child == node->link[dir]);
        iter->node = node;
        return node->item;
    }
}

// Finds an equal item or inserts a new leaf; `inserted` tells which.
void** probe(bst_tree* tree, void* item, bool* inserted) {
    if (tree == nullptr || item == nullptr) return nullptr;
    bst_tree_node** slot = &tree->root;
    while (*slot != nullptr) {
        const int cmp = tree->compare(item, (*slot)->item, tree->param);
        if (cmp == 0) return &(*slot)->item;
        slot = &(*slot)->link[cmp > 0];
    }
    bst_tree_node* node = new_node(tree, item);
    if (node == nullptr) return nullptr;
    *slot = node;
    ++tree->count;
    if (inserted != nullptr) *inserted = true;
    return &node->item;
}

void destroy_nodes(bst_tree* tree, bst_item_func destroy) {
    // Rotates left children up so that every node is released once its left
    // side is gone; needs no stack whatever the tree's shape.
    bst_tree_node* next;
    for (bst_tree_node* node = tree->root; node != nullptr; node = next) {
        if (node->link[0] == nullptr) {
            next = node->link[1];
            if (destroy != nullptr && node->item != nullptr) destroy(node->item, tree->param);
            tree->allocator->release(tree->allocator, node);
        } else {
            next = node->link[0];
            node->link[0] = next->link[1];
            next->link[1] = node;
        }
    }
    tree->root = nullptr;
    tree->count = 0;
}

}  // namespace

bst_tree* bst_create(bst_comparison_func compare, void* param, bst_allocator* allocator) {
    if (compare == nullptr) return nullptr;
    if (allocator == nullptr) allocator = &bst_allocator_default;
    auto* tree = static_cast<bst_tree*>(allocator->allocate(allocator, sizeof(bst_tree)));
    if (tree == nullptr) return nullptr;
    tree->root = nullptr;
    tree->compare = compare;
    tree->param = param;
    tree->allocator = allocator;
    tree->count = 0;
    tree->generation = 0;
    return tree;
}

void* bst_find(const bst_tree* tree, const void* item) {
    if (tree == nullptr || item == nullptr) return nullptr;
    const bst_tree_node* node = tree->root;
    while (node != nullptr) {
        const int cmp = tree->compare(item, node->item, tree->param);
        if (cmp == 0) return node->item;
        node = node->link[cmp > 0];
    }
    return nullptr;
}

void** bst_probe(bst_tree* tree, void* item) {
    return probe(tree, item, nullptr);
}

void* bst_insert(bst_tree* tree, void* item) {
    bool inserted = false;
    void** slot = probe(tree, item, &inserted);
    return slot == nullptr || inserted ? nullptr : *slot;
}

void* bst_replace(bst_tree* tree, void* item) {
    bool inserted = false;
    void** slot = probe(tree, item, &inserted);
    if (slot == nullptr || inserted) return nullptr;
    void* replaced = *slot;
    *slot = item;
    return replaced;
}

void* bst_delete(bst_tree* tree, const void* item) {
    if (tree == nullptr || item == nullptr) return nullptr;
    bst_tree_node** slot = &tree->root;
    for (;;) {
        if (*slot == nullptr) return nullptr;
        const int cmp = tree->compare(item, (*slot)->item, tree->param);
        if (cmp == 0) break;
        slot = &(*slot)->link[cmp > 0];
    }
    bst_tree_node* node = *slot;
    void* removed = node->item;
    bst_tree_node* right = node->link[1];
    if (right == nullptr) {
        *slot = node->link[0];
    } else if (right->link[0] == nullptr) {
        right->link[0] = node->link[0];
        *slot = right;
    } else {
        // The leftmost node of the right subtree takes the node's place.
        bst_tree_node* parent = right;
        bst_tree_node* successor = right->link[0];
        while (successor->link[0] != nullptr) {
            parent = successor;
            successor = successor->link[0];
        }
        parent->link[0] = successor->link[1];
        successor->link[0] = node->link[0];
        successor->link[1] = node->link[1];
        *slot = successor;
    }
    tree->allocator->release(tree->allocator, node);
    --tree->count;
    ++tree->generation;
    return removed;
}

void* bst_assert_insert(bst_tree* tree, void* item) {
    bool inserted = false;
    if (probe(tree, item, &inserted) == nullptr || !inserted) {
        fprintf(stderr, "bst_assert_insert: item not inserted\n");
        abort();
    }
    return item;
}

void* bst_assert_delete(bst_tree* tree, void* item) {
    void* removed = bst_delete(tree, item);
    if (removed == nullptr) {
        fprintf(stderr, "bst_assert_delete: item not found\n");
        abort();
    }
    return removed;
}

bst_tree* bst_copy(const bst_tree* tree, bst_copy_func copy, bst_item_func destroy,
                   bst_allocator* allocator) {
    if (tree == nullptr) return nullptr;
    bst_tree* result =
        bst_create(tree->compare, tree->param, allocator != nullptr ? allocator : tree->allocator);
    if (result == nullptr) return nullptr;
    result->count = tree->count;
    if (tree->root == nullptr) return result;

    // Pending (source node, destination slot) pairs; depth-first, so at most
    // one entry per level plus the siblings waiting on the way down.
    struct Pending {
        const bst_tree_node* source;
        bst_tree_node** slot;
    };
    size_t capacity = 64;
    size_t used = 0;
    auto* pending = static_cast<Pending*>(malloc(capacity * sizeof(Pending)));
    bool failed = pending == nullptr;
    if (!failed) pending[used++] = {tree->root, &result->root};
    while (!failed && used > 0) {
        const Pending work = pending[--used];
        bst_tree_node* node = new_node(result, nullptr);
        if (node == nullptr) {
            failed = true;
            break;
        }
        *work.slot = node;
        if (copy == nullptr) {
            node->item = work.source->item;
        } else {
            node->item = copy(work.source->item, tree->param);
            if (node->item == nullptr && work.source->item != nullptr) {
                failed = true;
                break;
            }
        }
        if (used + 2 > capacity) {
            auto* grown = static_cast<Pending*>(realloc(pending, 2 * capacity * sizeof(Pending)));
            if (grown == nullptr) {
                failed = true;
                break;
            }
            pending = grown;
            capacity *= 2;
        }
        for (int dir = 1; dir >= 0; --dir) {
            if (work.source->link[dir] != nullptr)
                pending[used++] = {work.source->link[dir], &node->link[dir]};
        }
    }
    free(pending);
    if (failed) {
        // Shared items belong to the source tree and are left alone.
        bst_destroy(result, copy != nullptr ? destroy : nullptr);
        return nullptr;
    }
    return result;
}

void bst_destroy(bst_tree* tree, bst_item_func destroy) {
    if (tree == nullptr) return;
    destroy_nodes(tree, destroy);
    tree->allocator->release(tree->allocator, tree);
}

void bst_balance(bst_tree* tree) {
    if (tree == nullptr) return;
    tree_to_vine(tree);
    vine_to_tree(tree);
    ++tree->generation;
}

void bst_t_init(bst_iter* iter, bst_tree* tree) {
    iter->tree = tree;
    iter->node = nullptr;
    iter->height = 0;
    iter->generation = tree != nullptr ? tree->generation : 0;
}

void* bst_t_first(bst_iter* iter, bst_tree* tree) {
    return trav_edge(iter, tree, 0);
}

void* bst_t_last(bst_iter* iter, bst_tree* tree) {
    return trav_edge(iter, tree, 1);
}

void* bst_t_find(bst_iter* iter, bst_tree* tree, void* item) {
    bst_t_init(iter, tree);
    if (tree == nullptr || item == nullptr) return nullptr;
    for (;;) {
        iter->generation = tree->generation;
        iter->height = 0;
        bool rebalanced = false;
        for (bst_tree_node* node = tree->root; node != nullptr;) {
            const int cmp = tree->compare(item, node->item, tree->param);
            if (cmp == 0) {
                iter->node = node;
                return node->item;
            }
            if (iter->height >= BST_MAX_HEIGHT) {
                bst_balance(tree);
                rebalanced = true;
                break;
            }
            iter->stack[iter->height++] = node;
            node = node->link[cmp > 0];
        }
        if (!rebalanced) break;
    }
    iter->height = 0;
    iter->node = nullptr;
    return nullptr;
}

void* bst_t_insert(bst_iter* iter, bst_tree* tree, void* item) {
    bst_t_init(iter, tree);
    if (tree == nullptr || item == nullptr) return nullptr;
    for (;;) {
        iter->generation = tree->generation;
        iter->height = 0;
        bool rebalanced = false;
        bst_tree_node** slot = &tree->root;
        while (*slot != nullptr) {
            bst_tree_node* node = *slot;
            const int cmp = tree->compare(item, node->item, tree->param);
            if (cmp == 0) {
                iter->node = node;
                return node->item;
            }
            if (iter->height >= BST_MAX_HEIGHT) {
                bst_balance(tree);
                rebalanced = true;
                break;
            }
            iter->stack[iter->height++] = node;
            slot = &node->link[cmp > 0];
        }
        if (rebalanced) continue;
        bst_tree_node* node = new_node(tree, item);
        if (node == nullptr) {
            iter->height = 0;
            iter->node = nullptr;
            return nullptr;
        }
        *slot = node;
        ++tree->count;
        iter->node = node;
        return item;
    }
}

void* bst_t_copy(bst_iter* iter, const bst_iter* source) {
    if (iter != source) *iter = *source;
    return iter->node != nullptr ? iter->node->item : nullptr;
}

void* bst_t_next(bst_iter* iter) {
    return trav_step(iter, 1);
}

void* bst_t_prev(bst_iter* iter) {
    return trav_step(iter, 0);
}

void* bst_t_cur(const bst_iter* iter) {
    return iter->node != nullptr ? iter->node->item : nullptr;
}

void* bst_t_replace(bst_iter* iter, void* item) {
    if (iter->node == nullptr || item == nullptr) return nullptr;
    void* old = iter->node->item;
    iter->node->item = item;
    return old;
}
