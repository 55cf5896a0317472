#include "core/guarded_list.h"

#include "core/mutex_guard.h"

namespace {

// The lazy test is made before locking: a list's first use must not race
// with another first use.
void ensure_ready(guarded_list* list) {
    if (list->ready != 1) guarded_list_init(list);
}

pthread_mutex_t* ready_lock(guarded_list* list) {
    ensure_ready(list);
    return &list->lock;
}

struct Locked : MutexGuard {
    explicit Locked(guarded_list* list) : MutexGuard(ready_lock(list)) {}
};

struct LockedPair : MutexPairGuard {
    LockedPair(guarded_list* first, guarded_list* second) : MutexPairGuard(ready_lock(first), ready_lock(second)) {}
};

// Where a walk for a node ended: the link that points at it (the list's head
// or a node's next), the node that holds that link (null for head) and the
// number of nodes before it.
struct Link {
    guarded_list_node** link;
    guarded_list_node* pred;
    int64_t index;
};

// Walks from head to the link whose target is the given node. Every walk is
// bounded by count, so a node linked twice (a cycle) cannot hang it, and it
// stops at a null link, so a broken chain is never followed. A null result
// means the node is not in the list; callers then change nothing, so no
// write ever goes through a node the list does not hold.
bool find_link(guarded_list* list, const guarded_list_node* target, Link* out) {
    if (!target) return false;
    guarded_list_node** link = &list->head;
    guarded_list_node* pred = nullptr;
    for (int64_t i = 0; i < list->count && *link; ++i) {
        if (*link == target) {
            *out = Link{link, pred, i};
            return true;
        }
        pred = *link;
        link = &pred->next;
    }
    return false;
}

}  // namespace

int guarded_list_init(guarded_list* list) {
    pthread_mutex_init(&list->lock, nullptr);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    list->ready = 1;
    return 1;
}

int guarded_list_destroy(guarded_list* list) {
    int rc = pthread_mutex_destroy(&list->lock);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    list->ready = 0;
    return rc;
}

int guarded_list_push_front(guarded_list* list, guarded_list_node* node) {
    Locked hold(list);
    if (!node) return -1;
    node->next = list->head;
    list->head = node;
    if (list->count == 0 || !list->tail) list->tail = node;
    ++list->count;
    return 0;
}

guarded_list_node* guarded_list_pop_front(guarded_list* list) {
    Locked hold(list);
    guarded_list_node* node = list->head;
    if (list->count == 0 || !node) return nullptr;
    if (node == list->tail) {
        list->head = nullptr;
        list->tail = nullptr;
    } else {
        list->head = node->next;
    }
    --list->count;
    return node;
}

void guarded_list_push_back(guarded_list* list, guarded_list_node* node) {
    Locked hold(list);
    if (!node) return;
    node->next = nullptr;
    if (list->count == 0 || !list->tail)
        list->head = node;
    else
        list->tail->next = node;
    list->tail = node;
    ++list->count;
}

guarded_list_node* guarded_list_pop_back(guarded_list* list) {
    Locked hold(list);
    guarded_list_node* node = list->tail;
    if (list->count == 0 || !node) return nullptr;
    if (node == list->head) {
        list->head = nullptr;
        list->tail = nullptr;
    } else {
        Link at;
        if (!find_link(list, node, &at) || !at.pred) return nullptr;
        at.pred->next = nullptr;
        list->tail = at.pred;
    }
    --list->count;
    return node;
}

int64_t guarded_list_count(guarded_list* list) {
    Locked hold(list);
    return list->count;
}

guarded_list_node* guarded_list_first(guarded_list* list) {
    Locked hold(list);
    return list->head;
}

guarded_list_node* guarded_list_last(guarded_list* list) {
    Locked hold(list);
    return list->tail;
}

guarded_list_node* guarded_list_next(guarded_list* list, guarded_list_node* node) {
    Locked hold(list);
    return node ? node->next : nullptr;
}

guarded_list_node* guarded_list_prev(guarded_list* list, guarded_list_node* node) {
    Locked hold(list);
    if (!node) return list->tail;
    Link at;
    return find_link(list, node, &at) ? at.pred : nullptr;
}

int guarded_list_insert_before(guarded_list* list, guarded_list_node* node, guarded_list_node* before) {
    Locked hold(list);
    if (!node || node == before) return -1;
    Link at;
    if (!find_link(list, before, &at)) return -1;
    node->next = before;
    *at.link = node;
    ++list->count;
    return 0;
}

int guarded_list_insert_after(guarded_list* list, guarded_list_node* node, guarded_list_node* after) {
    Locked hold(list);
    if (!node || !after || node == after || list->count == 0) return -1;
    // Inserting after the tail is the common case and needs no walk; any
    // other node is looked up first, so that a node of some other list is
    // never written to. That makes this walk the list, traded for safety.
    Link at;
    if (after != list->tail && !find_link(list, after, &at)) return -1;
    node->next = after->next;
    after->next = node;
    if (after == list->tail) list->tail = node;
    ++list->count;
    return 0;
}

int guarded_list_remove(guarded_list* list, guarded_list_node* node) {
    Locked hold(list);
    Link at;
    if (!find_link(list, node, &at)) return -1;
    *at.link = node->next;
    if (node == list->tail) list->tail = at.pred;
    --list->count;
    return 0;
}

guarded_list_node* guarded_list_find(guarded_list* list, guarded_list_pred pred, uintptr_t user) {
    Locked hold(list);
    if (!pred) return nullptr;
    guarded_list_node* node = list->head;
    for (int64_t i = 0; i < list->count && node; ++i, node = node->next)
        if (pred(node, user)) return node;
    return nullptr;
}

int guarded_list_append(guarded_list* list, guarded_list* other) {
    // The same list in both roles would lock its own mutex twice.
    if (list == other) return -1;
    LockedPair hold(list, other);
    if (other->count == 0 || !other->head) return 0;
    if (list->count == 0 || !list->tail)
        list->head = other->head;
    else
        list->tail->next = other->head;
    list->tail = other->tail;
    list->count += other->count;
    other->head = nullptr;
    other->tail = nullptr;
    other->count = 0;
    return 0;
}

int guarded_list_split(guarded_list* list, guarded_list_node* at, guarded_list* rest) {
    if (list == rest) return -1;
    LockedPair hold(list, rest);
    Link where;
    if (!find_link(list, at, &where)) return -1;
    rest->head = at;
    rest->tail = list->tail;
    rest->count = list->count - where.index;
    *where.link = nullptr;
    list->tail = where.pred;
    list->count = where.index;
    return 0;
}
