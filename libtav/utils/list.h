// Intrusive doubly linked lists with a head record.  An initialised node
// points at itself, so list_empty() on a node tells whether it is linked.
#ifndef TAV_UTILS_LIST_H
#define TAV_UTILS_LIST_H

#include <stddef.h>

typedef struct list_head {
    struct list_head *next, *prev;
} list_head;

#define LIST_HEAD_INIT(name)                                                                                 \
    { &(name), &(name) }

static inline void INIT_LIST_HEAD(list_head *h) {
    h->next = h->prev = h;
}
static inline bool list_empty(const list_head *h) {
    return h->next == h;
}

static inline void __list_add(list_head *n, list_head *prev, list_head *next) {
    next->prev = n;
    n->next = next;
    n->prev = prev;
    prev->next = n;
}
static inline void list_add(list_head *n, list_head *head) {
    __list_add(n, head, head->next);
}
static inline void list_add_tail(list_head *n, list_head *head) {
    __list_add(n, head->prev, head);
}
/* Unlinks and re-initialises the node, so a second del is harmless. */
static inline void list_del_init(list_head *n) {
    n->next->prev = n->prev;
    n->prev->next = n->next;
    INIT_LIST_HEAD(n);
}
static inline void list_move_tail(list_head *n, list_head *head) {
    list_del_init(n);
    list_add_tail(n, head);
}
/* Moves every node of `from` to the tail of `head`, in order; `from` ends
 * empty. */
static inline void list_splice_tail_init(list_head *from, list_head *head) {
    if (list_empty(from))
        return;
    list_head *first = from->next, *last = from->prev, *tail = head->prev;
    tail->next = first;
    first->prev = tail;
    last->next = head;
    head->prev = last;
    INIT_LIST_HEAD(from);
}

#define list_entry(ptr, type, member)        ((type *)((char *)(ptr)-offsetof(type, member)))
#define list_first_entry(head, type, member) list_entry((head)->next, type, member)
#define list_for_each(pos, head)             for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head)                                                                     \
    for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)

#endif
