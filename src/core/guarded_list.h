// A singly linked list of intrusive nodes with head, tail, a node count and
// its own mutex. It initialises itself on first use, so a zero-filled object
// (a static) is a valid empty list. The list never allocates or frees nodes:
// the caller owns them and keeps them alive while they are linked.
//
// Every operation except init and destroy initialises the list when needed,
// then holds its lock for its whole duration. The lock is not recursive: a
// find predicate must not call back into the same list.
#pragma once

#include <pthread.h>

#include <cstdint>

// The link. A user record either embeds it as its first member or is a small
// record of its own whose first member is the link and whose second points
// at the payload.
struct guarded_list_node {
    guarded_list_node* next;
};

struct guarded_list {
    guarded_list_node* head;
    guarded_list_node* tail;
    int64_t count;
    // 1 once initialised; anything else makes the next operation initialise.
    int32_t ready;
    pthread_mutex_t lock;
};

// Non-zero when the node is the one looked for. It runs under the list's lock.
using guarded_list_pred = int (*)(guarded_list_node* node, uintptr_t user);

// Initialises the mutex and empties the list. Returns 1. Takes no lock.
int guarded_list_init(guarded_list* list);
// Destroys the mutex and zeroes the list; linked nodes stay the caller's.
// Returns the mutex destruction's result (0 on success). Takes no lock.
int guarded_list_destroy(guarded_list* list);

int guarded_list_push_front(guarded_list* list, guarded_list_node* node);
// The popped node's own next is left as it was.
guarded_list_node* guarded_list_pop_front(guarded_list* list);
void guarded_list_push_back(guarded_list* list, guarded_list_node* node);
guarded_list_node* guarded_list_pop_back(guarded_list* list);

int64_t guarded_list_count(guarded_list* list);
guarded_list_node* guarded_list_first(guarded_list* list);
guarded_list_node* guarded_list_last(guarded_list* list);
guarded_list_node* guarded_list_next(guarded_list* list, guarded_list_node* node);
// The node whose next is the given one; null for the first node and for a
// node not in the list. The predecessor of null is the last node.
guarded_list_node* guarded_list_prev(guarded_list* list, guarded_list_node* node);

// The node arguments that must belong to the list (before, after, the node
// to remove, at) are checked: when one does not, the operation changes
// nothing and returns -1. Otherwise they return 0.
int guarded_list_insert_before(guarded_list* list, guarded_list_node* node, guarded_list_node* before);
int guarded_list_insert_after(guarded_list* list, guarded_list_node* node, guarded_list_node* after);
// The removed node's own next is left as it was.
int guarded_list_remove(guarded_list* list, guarded_list_node* node);

guarded_list_node* guarded_list_find(guarded_list* list, guarded_list_pred pred, uintptr_t user);

// Moves every node of other to the end of list, in order, and leaves other
// empty. Locks list, then other. -1 (nothing moved) when both are the same.
int guarded_list_append(guarded_list* list, guarded_list* other);
// Moves at and every node after it into rest, in order; whatever rest held is
// overwritten without being visited. Locks list, then rest. -1 (nothing
// moved) when at is not in list or rest is list itself.
int guarded_list_split(guarded_list* list, guarded_list_node* at, guarded_list* rest);
