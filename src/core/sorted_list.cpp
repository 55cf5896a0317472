#include "core/sorted_list.h"

#include "core/mutex_guard.h"

namespace {

constexpr uint64_t DEFAULT_DIRECTION = SORTED_LIST_ASCENDING;
constexpr uint64_t DEFAULT_TIE = SORTED_LIST_TIE_BEFORE;

// The lazy test is made before locking: a list's first use must not race
// with another first use.
void ensure_ready(sorted_list* list) {
    if (list->ready != 1) sorted_list_init(list, DEFAULT_DIRECTION, DEFAULT_TIE);
}

pthread_mutex_t* ready_lock(sorted_list* list) {
    ensure_ready(list);
    return &list->lock;
}

struct Locked : MutexGuard {
    explicit Locked(sorted_list* list) : MutexGuard(ready_lock(list)) {}
};

struct LockedPair : MutexPairGuard {
    LockedPair(sorted_list* first, sorted_list* second) : MutexPairGuard(ready_lock(first), ready_lock(second)) {}
};

// Whether a new node with key goes before an existing node with key
// existing. 0 for an order mode that is none of the four.
int goes_before(uint64_t order, uint64_t existing, uint64_t key) {
    switch (order) {
        case SORTED_LIST_ASCENDING | SORTED_LIST_TIE_BEFORE: return existing >= key;
        case SORTED_LIST_DESCENDING | SORTED_LIST_TIE_BEFORE: return existing <= key;
        case SORTED_LIST_ASCENDING | SORTED_LIST_TIE_AFTER: return existing > key;
        case SORTED_LIST_DESCENDING | SORTED_LIST_TIE_AFTER: return existing < key;
        default: return -1;
    }
}

void link_after(sorted_list* list, sorted_list_node* node, sorted_list_node* ref) {
    node->next = ref->next;
    node->prev = ref;
    ref->next = node;
    if (ref == list->tail)
        list->tail = node;
    else if (node->next)
        node->next->prev = node;
    ++list->count;
}

void link_before(sorted_list* list, sorted_list_node* node, sorted_list_node* ref) {
    node->prev = ref->prev;
    node->next = ref;
    ref->prev = node;
    if (ref == list->head)
        list->head = node;
    else if (node->prev)
        node->prev->next = node;
    ++list->count;
}

// Looks the node up from head. Walks are bounded by count and stop at a null
// link, so a node linked twice or a broken chain can neither hang them nor
// lead a write astray; a node not found is left alone by every caller.
// index receives the number of nodes before it, pred the node before it.
bool find_node(sorted_list* list, const sorted_list_node* target, int64_t* index, sorted_list_node** pred) {
    if (!target) return false;
    sorted_list_node* before = nullptr;
    sorted_list_node* node = list->head;
    for (int64_t i = 0; i < list->count && node; ++i) {
        if (node == target) {
            *index = i;
            *pred = before;
            return true;
        }
        before = node;
        node = node->next;
    }
    return false;
}

}  // namespace

int sorted_list_init(sorted_list* list, uint64_t direction, uint64_t tie) {
    pthread_mutex_init(&list->lock, nullptr);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    list->order = direction | tie;
    list->ready = 1;
    return 1;
}

int sorted_list_destroy(sorted_list* list) {
    int rc = pthread_mutex_destroy(&list->lock);
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
    list->ready = 0;
    return rc;
}

int sorted_list_insert(sorted_list* list, sorted_list_node* node, uint64_t key) {
    Locked hold(list);
    if (!node) return -1;
    node->key = key;
    if (list->count == 0 || !list->head || !list->tail) {
        node->next = nullptr;
        node->prev = nullptr;
        list->head = node;
        list->tail = node;
        list->count = 1;
        return 0;
    }
    int before_tail = goes_before(list->order, list->tail->key, key);
    if (before_tail < 0) return -1;
    if (!before_tail) {
        link_after(list, node, list->tail);
        return 0;
    }
    // The tail test guarantees a node that the new one goes before.
    sorted_list_node* at = list->head;
    for (int64_t i = 0; i < list->count && at; ++i, at = at->next) {
        if (goes_before(list->order, at->key, key)) {
            link_before(list, node, at);
            return 0;
        }
    }
    return -1;
}

sorted_list_node* sorted_list_pop_front(sorted_list* list) {
    Locked hold(list);
    sorted_list_node* node = list->head;
    if (list->count == 0 || !node) return nullptr;
    if (node == list->tail || !node->next) {
        list->head = nullptr;
        list->tail = nullptr;
    } else {
        list->head = node->next;
        list->head->prev = nullptr;
    }
    --list->count;
    return node;
}

sorted_list_node* sorted_list_pop_back(sorted_list* list) {
    Locked hold(list);
    sorted_list_node* node = list->tail;
    if (list->count == 0 || !node) return nullptr;
    if (node == list->head || !node->prev) {
        list->head = nullptr;
        list->tail = nullptr;
    } else {
        list->tail = node->prev;
        list->tail->next = nullptr;
    }
    --list->count;
    return node;
}

int64_t sorted_list_count(sorted_list* list) {
    Locked hold(list);
    return list->count;
}

sorted_list_node* sorted_list_first(sorted_list* list) {
    Locked hold(list);
    return list->head;
}

sorted_list_node* sorted_list_last(sorted_list* list) {
    Locked hold(list);
    return list->tail;
}

sorted_list_node* sorted_list_next(sorted_list* list, sorted_list_node* node) {
    Locked hold(list);
    return node ? node->next : nullptr;
}

sorted_list_node* sorted_list_prev(sorted_list* list, sorted_list_node* node) {
    Locked hold(list);
    return node ? node->prev : nullptr;
}

int sorted_list_remove(sorted_list* list, sorted_list_node* node) {
    Locked hold(list);
    int64_t index;
    sorted_list_node* pred;
    if (!find_node(list, node, &index, &pred)) return -1;
    sorted_list_node* succ = node->next;
    if (pred)
        pred->next = succ;
    else
        list->head = succ;
    if (node == list->tail)
        list->tail = pred;
    else if (succ)
        succ->prev = pred;
    --list->count;
    return 0;
}

sorted_list_node* sorted_list_find(sorted_list* list, sorted_list_pred pred, uintptr_t user) {
    Locked hold(list);
    if (!pred) return nullptr;
    sorted_list_node* node = list->head;
    for (int64_t i = 0; i < list->count && node; ++i, node = node->next)
        if (pred(node, user)) return node;
    return nullptr;
}

int sorted_list_split(sorted_list* list, sorted_list_node* at, sorted_list* rest) {
    // The same list in both roles would lock its own mutex twice.
    if (list == rest) return -1;
    LockedPair hold(list, rest);
    int64_t kept;
    sorted_list_node* pred;
    if (!find_node(list, at, &kept, &pred)) return -1;
    rest->head = at;
    rest->tail = list->tail;
    rest->count = list->count - kept;
    at->prev = nullptr;
    if (pred) {
        pred->next = nullptr;
        list->tail = pred;
    } else {
        list->head = nullptr;
        list->tail = nullptr;
    }
    list->count = kept;
    return 0;
}
