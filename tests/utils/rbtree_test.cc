// Red-black tree: shape and order through seeded random insertions and
// erasures, and exact augmented values (largest end in each subtree) through
// every rotation, successor swap and rebalancing.
#include "rbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

struct Item {
    rb_node node;
    long key;
    long end; // the augmented tree keeps the largest end of each subtree
    long max;
};

Item *item_of(const rb_node *n) {
    return rb_entry(const_cast<rb_node *>(n), Item, node);
}

bool item_less(const rb_node *a, const rb_node *b) {
    return item_of(a)->key < item_of(b)->key;
}

long compute_max(const rb_node *n) {
    long m = item_of(n)->end;
    if (n->left)
        m = std::max(m, item_of(n->left)->max);
    if (n->right)
        m = std::max(m, item_of(n->right)->max);
    return m;
}

void aug_propagate(rb_node *n, rb_node *stop) {
    for (; n != stop; n = n->parent)
        item_of(n)->max = compute_max(n);
}
void aug_copy(rb_node *old_node, rb_node *new_node) {
    item_of(new_node)->max = item_of(old_node)->max;
}
void aug_rotate(rb_node *old_node, rb_node *new_node) {
    item_of(new_node)->max = item_of(old_node)->max;
    item_of(old_node)->max = compute_max(old_node);
}
const rb_augment_callbacks kAug = {aug_propagate, aug_copy, aug_rotate};

// Largest end in the subtree, recomputed from scratch.
long brute_max(const rb_node *n) {
    if (!n)
        return -1;
    return std::max({item_of(n)->end, brute_max(n->left), brute_max(n->right)});
}

bool augmented_exact(const rb_node *n) {
    if (!n)
        return true;
    return item_of(n)->max == brute_max(n) && augmented_exact(n->left) && augmented_exact(n->right);
}

void insert(rb_root *root, Item *it, bool augmented) {
    rb_node **link = &root->node, *parent = nullptr;
    while (*link) {
        parent = *link;
        link = it->key < item_of(parent)->key ? &parent->left : &parent->right;
    }
    rb_link_node(&it->node, parent, link);
    it->max = it->end;
    if (augmented)
        rb_insert_augmented(&it->node, root, &kAug);
    else
        rb_insert_color(&it->node, root);
}

class RbTreeRandom : public ::testing::TestWithParam<bool> {};

TEST_P(RbTreeRandom, ShapeOrderAndAugmentHoldThroughRandomOperations) {
    const bool augmented = GetParam();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::vector<Item> items(600);
    std::vector<Item *> in, out;
    for (size_t i = 0; i < items.size(); i++) {
        items[i].key = static_cast<long>(i) * 7 % 601; // distinct keys in scrambled order
        rb_clear_node(&items[i].node);
        out.push_back(&items[i]);
    }
    rb_root root = {nullptr};
    for (int step = 0; step < 4000; step++) {
        bool add = !out.empty() && (in.empty() || rng() % 3 != 0);
        if (add) {
            size_t k = rng() % out.size();
            Item *it = out[k];
            out.erase(out.begin() + static_cast<long>(k));
            it->end = it->key + static_cast<long>(rng() % 1000);
            ASSERT_TRUE(rb_node_empty(&it->node));
            insert(&root, it, augmented);
            ASSERT_FALSE(rb_node_empty(&it->node));
            in.push_back(it);
        } else {
            size_t k = rng() % in.size();
            Item *it = in[k];
            in.erase(in.begin() + static_cast<long>(k));
            if (augmented)
                rb_erase_augmented(&it->node, &root, &kAug);
            else
                rb_erase(&it->node, &root);
            ASSERT_TRUE(rb_node_empty(&it->node));
            out.push_back(it);
        }
        ASSERT_GE(rb_verify(&root, item_less), 0) << "step " << step;
        if (augmented) {
            ASSERT_TRUE(augmented_exact(root.node)) << "step " << step;
        }
    }
    // In-order walks both ways visit exactly the keys in the tree.
    std::set<long> keys;
    for (Item *it : in)
        keys.insert(it->key);
    std::vector<long> fwd, back;
    for (rb_node *n = rb_first(&root); n; n = rb_next(n))
        fwd.push_back(item_of(n)->key);
    for (rb_node *n = rb_last(&root); n; n = rb_prev(n))
        back.push_back(item_of(n)->key);
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(std::vector<long>(keys.begin(), keys.end()), fwd);
    EXPECT_EQ(fwd, back);
}

INSTANTIATE_TEST_SUITE_P(Plain, RbTreeRandom, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Augmented, RbTreeRandom, ::testing::Values(true));

TEST(RbTree, VerifyCatchesBrokenTrees) {
    Item a{}, b{}, c{};
    a.key = 1;
    b.key = 2;
    c.key = 3;
    rb_root root = {nullptr};
    EXPECT_EQ(1, rb_verify(&root, item_less)) << "an empty tree is valid: its null leaf is black";
    insert(&root, &a, false);
    insert(&root, &b, false);
    insert(&root, &c, false);
    ASSERT_EQ(2, rb_verify(&root, item_less));
    // Out of order.
    std::swap(a.key, c.key);
    EXPECT_EQ(-1, rb_verify(&root, item_less));
    std::swap(a.key, c.key);
    // A red root.
    root.node->red = 1;
    EXPECT_EQ(-1, rb_verify(&root, item_less));
    root.node->red = 0;
    // Unequal black heights.
    root.node->left->red = 0;
    EXPECT_EQ(-1, rb_verify(&root, item_less));
}

} // namespace
