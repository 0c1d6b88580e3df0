// Intrusive red-black tree, optionally augmented.
//
// The caller embeds an rb_node in its record and owns the order: it descends
// from the root with its own comparison, links the new node at the leaf it
// found (rb_link_node) and then rebalances (rb_insert_color).  The tree never
// allocates, never compares and never yields.
//
// Augmented trees keep a value per node that is computed from the node and
// its two subtrees (an interval tree keeps the largest end in the subtree).
// The caller supplies three callbacks and uses the _augmented variants:
//   - propagate(node, stop): recompute the value of `node` and of each of its
//     ancestors up to, not including, `stop` (null: up to the root);
//   - copy(old, new): `new` takes the place of `old`; give it `old`'s value;
//   - rotate(old, new): a rotation moved `new` to where `old` was, at the
//     root of the same set of nodes: `new` takes `old`'s value and `old`'s
//     value is recomputed from its new children.
// With them the values stay exact through every insertion, erasure and
// rebalancing.  A plain tree passes no callbacks.
//
// An rb_node that is in no tree should be cleared with rb_clear_node, so that
// rb_node_empty tells whether it is linked.
//
// Threading: none; a tree belongs to its owner's thread.
#ifndef TAV_UTILS_RBTREE_H
#define TAV_UTILS_RBTREE_H

#include <stddef.h>

typedef struct rb_node {
    struct rb_node *parent, *left, *right;
    int red;
} rb_node;

typedef struct rb_root {
    rb_node *node;
} rb_root;

typedef struct rb_augment_callbacks {
    void (*propagate)(rb_node *node, rb_node *stop);
    void (*copy)(rb_node *old_node, rb_node *new_node);
    void (*rotate)(rb_node *old_node, rb_node *new_node);
} rb_augment_callbacks;

#define rb_entry(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))

static inline void rb_clear_node(rb_node *n) {
    n->parent = n;
    n->left = n->right = nullptr;
    n->red = 0;
}
static inline bool rb_node_empty(const rb_node *n) {
    return n->parent == n;
}
static inline bool rb_root_empty(const rb_root *root) {
    return root->node == nullptr;
}

/* Links `node` as a red leaf at `*link`, the child slot of `parent` (null for
 * the root) that the caller's descent ended on. */
static inline void rb_link_node(rb_node *node, rb_node *parent, rb_node **link) {
    node->parent = parent;
    node->left = node->right = nullptr;
    node->red = 1;
    *link = node;
}

/* Rebalances after rb_link_node. */
void rb_insert_color(rb_node *node, rb_root *root);
/* As rb_insert_color; first propagates the new node's value to the root. */
void rb_insert_augmented(rb_node *node, rb_root *root, const rb_augment_callbacks *aug);
/* Removes `node` and clears it (rb_node_empty is then true). */
void rb_erase(rb_node *node, rb_root *root);
void rb_erase_augmented(rb_node *node, rb_root *root, const rb_augment_callbacks *aug);

/* In-order walk; null past either end. */
rb_node *rb_first(const rb_root *root);
rb_node *rb_last(const rb_root *root);
rb_node *rb_next(const rb_node *node);
rb_node *rb_prev(const rb_node *node);

/* Checks the tree's shape: root black, no red node with a red child, parent
 * links, equal black heights, and strictly increasing order under `less`.
 * Returns the black height, or -1 when a rule is broken.  For tests and the
 * debug service. */
int rb_verify(const rb_root *root, bool (*less)(const rb_node *a, const rb_node *b));

#endif
