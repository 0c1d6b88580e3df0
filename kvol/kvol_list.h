// Intrusive doubly linked list with a head record.  An empty list points to
// itself; nodes are unlinked by kvol_list_del() and then point to themselves.
#ifndef KVOL_LIST_H
#define KVOL_LIST_H

#include <stddef.h>

struct kvol_list {
    kvol_list *next;
    kvol_list *prev;
};

inline void kvol_list_init(kvol_list *h) {
    h->next = h->prev = h;
}
inline bool kvol_list_empty(const kvol_list *h) {
    return h->next == h;
}

inline void kvol_list_insert(kvol_list *n, kvol_list *prev, kvol_list *next) {
    next->prev = n;
    n->next = next;
    n->prev = prev;
    prev->next = n;
}
inline void kvol_list_add_head(kvol_list *n, kvol_list *h) {
    kvol_list_insert(n, h, h->next);
}
inline void kvol_list_add_tail(kvol_list *n, kvol_list *h) {
    kvol_list_insert(n, h->prev, h);
}
inline void kvol_list_del(kvol_list *n) {
    n->prev->next = n->next;
    n->next->prev = n->prev;
    n->next = n->prev = n;
}
/* Moves every node of `from` to the tail of `to`, keeping their order. */
inline void kvol_list_splice_tail(kvol_list *from, kvol_list *to) {
    if (kvol_list_empty(from))
        return;
    kvol_list *first = from->next, *last = from->prev;
    first->prev = to->prev;
    to->prev->next = first;
    last->next = to;
    to->prev = last;
    kvol_list_init(from);
}

#define kvol_container_of(ptr, type, member)                                                                 \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

#endif
