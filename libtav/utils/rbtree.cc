// Red-black tree: insertion and erasure rebalancing with augment callbacks.
#include "rbtree.h"

namespace {

inline bool is_red(const rb_node *n) {
    return n && n->red;
}

inline void replace_child(rb_root *root, rb_node *parent, rb_node *old_child, rb_node *new_child) {
    if (!parent)
        root->node = new_child;
    else if (parent->left == old_child)
        parent->left = new_child;
    else
        parent->right = new_child;
}

// x goes down to the left, its right child y takes its place.
void rotate_left(rb_root *root, rb_node *x, const rb_augment_callbacks *aug) {
    rb_node *y = x->right;
    x->right = y->left;
    if (y->left)
        y->left->parent = x;
    y->parent = x->parent;
    replace_child(root, x->parent, x, y);
    y->left = x;
    x->parent = y;
    if (aug)
        aug->rotate(x, y);
}

// x goes down to the right, its left child y takes its place.
void rotate_right(rb_root *root, rb_node *x, const rb_augment_callbacks *aug) {
    rb_node *y = x->left;
    x->left = y->right;
    if (y->right)
        y->right->parent = x;
    y->parent = x->parent;
    replace_child(root, x->parent, x, y);
    y->right = x;
    x->parent = y;
    if (aug)
        aug->rotate(x, y);
}

void insert_fixup(rb_node *z, rb_root *root, const rb_augment_callbacks *aug) {
    while (is_red(z->parent)) {
        rb_node *p = z->parent;
        rb_node *g = p->parent; // exists: a red node is never the root
        bool left = p == g->left;
        rb_node *u = left ? g->right : g->left;
        if (is_red(u)) {
            p->red = 0;
            u->red = 0;
            g->red = 1;
            z = g;
            continue;
        }
        if (left) {
            if (z == p->right) {
                z = p;
                rotate_left(root, z, aug);
                p = z->parent;
            }
            p->red = 0;
            g->red = 1;
            rotate_right(root, g, aug);
        } else {
            if (z == p->left) {
                z = p;
                rotate_right(root, z, aug);
                p = z->parent;
            }
            p->red = 0;
            g->red = 1;
            rotate_left(root, g, aug);
        }
    }
    root->node->red = 0;
}

void transplant(rb_root *root, rb_node *u, rb_node *v) {
    replace_child(root, u->parent, u, v);
    if (v)
        v->parent = u->parent;
}

rb_node *leftmost(rb_node *n) {
    while (n && n->left)
        n = n->left;
    return n;
}

rb_node *rightmost(rb_node *n) {
    while (n && n->right)
        n = n->right;
    return n;
}

// x (possibly null) is the child of xp that lost one black.
void erase_fixup(rb_node *x, rb_node *xp, rb_root *root, const rb_augment_callbacks *aug) {
    while (x != root->node && !is_red(x)) {
        if (x == xp->left) {
            rb_node *w = xp->right;
            if (is_red(w)) {
                w->red = 0;
                xp->red = 1;
                rotate_left(root, xp, aug);
                w = xp->right;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                w->red = 1;
                x = xp;
                xp = x->parent;
            } else {
                if (!is_red(w->right)) {
                    w->left->red = 0;
                    w->red = 1;
                    rotate_right(root, w, aug);
                    w = xp->right;
                }
                w->red = xp->red;
                xp->red = 0;
                if (w->right)
                    w->right->red = 0;
                rotate_left(root, xp, aug);
                x = root->node;
                xp = nullptr;
            }
        } else {
            rb_node *w = xp->left;
            if (is_red(w)) {
                w->red = 0;
                xp->red = 1;
                rotate_right(root, xp, aug);
                w = xp->left;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                w->red = 1;
                x = xp;
                xp = x->parent;
            } else {
                if (!is_red(w->left)) {
                    w->right->red = 0;
                    w->red = 1;
                    rotate_left(root, w, aug);
                    w = xp->left;
                }
                w->red = xp->red;
                xp->red = 0;
                if (w->left)
                    w->left->red = 0;
                rotate_right(root, xp, aug);
                x = root->node;
                xp = nullptr;
            }
        }
    }
    if (x)
        x->red = 0;
}

void erase(rb_node *z, rb_root *root, const rb_augment_callbacks *aug) {
    rb_node *x, *xp;
    bool removed_red = z->red;
    if (!z->left) {
        x = z->right;
        xp = z->parent;
        transplant(root, z, z->right);
    } else if (!z->right) {
        x = z->left;
        xp = z->parent;
        transplant(root, z, z->left);
    } else {
        // The successor y leaves its place and takes z's.
        rb_node *y = leftmost(z->right);
        removed_red = y->red;
        x = y->right;
        if (y->parent == z) {
            xp = y;
        } else {
            xp = y->parent;
            transplant(root, y, y->right);
            y->right = z->right;
            y->right->parent = y;
        }
        transplant(root, z, y);
        y->left = z->left;
        y->left->parent = y;
        y->red = z->red;
        if (aug)
            aug->copy(z, y);
    }
    // xp is the deepest node whose subtree changed; every other changed node
    // is one of its ancestors.
    if (aug && xp)
        aug->propagate(xp, nullptr);
    if (!removed_red)
        erase_fixup(x, xp, root, aug);
    rb_clear_node(z);
}

int verify_shape(const rb_node *n, const rb_node *parent) {
    if (!n)
        return 1;
    if (n->parent != parent)
        return -1;
    if (n->red && (is_red(n->left) || is_red(n->right)))
        return -1;
    int l = verify_shape(n->left, n);
    int r = verify_shape(n->right, n);
    if (l < 0 || r < 0 || l != r)
        return -1;
    return l + (n->red ? 0 : 1);
}

} // namespace

void rb_insert_color(rb_node *node, rb_root *root) {
    insert_fixup(node, root, nullptr);
}

void rb_insert_augmented(rb_node *node, rb_root *root, const rb_augment_callbacks *aug) {
    aug->propagate(node, nullptr);
    insert_fixup(node, root, aug);
}

void rb_erase(rb_node *node, rb_root *root) {
    erase(node, root, nullptr);
}

void rb_erase_augmented(rb_node *node, rb_root *root, const rb_augment_callbacks *aug) {
    erase(node, root, aug);
}

rb_node *rb_first(const rb_root *root) {
    return leftmost(root->node);
}

rb_node *rb_last(const rb_root *root) {
    return rightmost(root->node);
}

rb_node *rb_next(const rb_node *n) {
    if (n->right)
        return leftmost(n->right);
    rb_node *p = n->parent;
    while (p && n == p->right) {
        n = p;
        p = p->parent;
    }
    return p;
}

rb_node *rb_prev(const rb_node *n) {
    if (n->left)
        return rightmost(n->left);
    rb_node *p = n->parent;
    while (p && n == p->left) {
        n = p;
        p = p->parent;
    }
    return p;
}

int rb_verify(const rb_root *root, bool (*less)(const rb_node *a, const rb_node *b)) {
    if (is_red(root->node))
        return -1;
    int height = verify_shape(root->node, nullptr);
    if (height < 0)
        return -1;
    const rb_node *prev = nullptr;
    for (const rb_node *n = rb_first(root); n; n = rb_next(n)) {
        if (prev && !less(prev, n))
            return -1;
        prev = n;
    }
    return height;
}
