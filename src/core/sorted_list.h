// A doubly linked list of intrusive nodes kept in the order of an unsigned
// 64-bit key, with its own mutex and lazy initialisation (a zero-filled
// object is a valid empty list that sorts ascending, new nodes before equal
// keys). The order mode fixes the direction and where a new node goes among
// nodes with an equal key. The list never allocates or frees nodes.
//
// Every operation except init and destroy initialises the list when needed,
// then holds its lock for its whole duration. The lock is not recursive.
#pragma once

#include <pthread.h>

#include <cstdint>

inline constexpr uint64_t SORTED_LIST_ASCENDING = 1;
inline constexpr uint64_t SORTED_LIST_DESCENDING = 2;
// Where a new node goes among nodes whose key equals its own.
inline constexpr uint64_t SORTED_LIST_TIE_BEFORE = 0x1000;
inline constexpr uint64_t SORTED_LIST_TIE_AFTER = 0x2000;

struct sorted_list_node {
    sorted_list_node* next;
    sorted_list_node* prev;
    uint64_t key;
};

struct sorted_list {
    sorted_list_node* head;
    sorted_list_node* tail;
    int64_t count;
    // Direction OR tie.
    uint64_t order;
    // 1 once initialised; anything else makes the next operation initialise.
    int32_t ready;
    pthread_mutex_t lock;
};

using sorted_list_pred = int (*)(sorted_list_node* node, uintptr_t user);

// Initialises the mutex, empties the list and sets order to direction | tie.
// Returns 1. Takes no lock.
int sorted_list_init(sorted_list* list, uint64_t direction, uint64_t tie);
// Destroys the mutex and empties the list, leaving order. Returns the mutex
// destruction's result (0 on success). Takes no lock.
int sorted_list_destroy(sorted_list* list);

// Stores key in the node and links it at its place. An empty list takes the
// node whatever the order mode; a non-empty list with an order mode that is
// none of the four leaves the node unlinked and returns -1.
int sorted_list_insert(sorted_list* list, sorted_list_node* node, uint64_t key);
sorted_list_node* sorted_list_pop_front(sorted_list* list);
sorted_list_node* sorted_list_pop_back(sorted_list* list);

int64_t sorted_list_count(sorted_list* list);
sorted_list_node* sorted_list_first(sorted_list* list);
sorted_list_node* sorted_list_last(sorted_list* list);
sorted_list_node* sorted_list_next(sorted_list* list, sorted_list_node* node);
sorted_list_node* sorted_list_prev(sorted_list* list, sorted_list_node* node);

// -1, nothing changed, when the node is not in the list.
int sorted_list_remove(sorted_list* list, sorted_list_node* node);
sorted_list_node* sorted_list_find(sorted_list* list, sorted_list_pred pred, uintptr_t user);
// Moves at and every node after it into rest, in order; whatever rest held is
// overwritten without being visited. Locks list, then rest. -1 (nothing
// moved) when at is not in list or rest is list itself.
int sorted_list_split(sorted_list* list, sorted_list_node* at, sorted_list* rest);
