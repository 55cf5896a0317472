#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <type_traits>
#include <vector>

#include "core/guarded_list.h"
#include "core/sorted_list.h"

namespace {

using V = std::vector<int>;

// A user record embeds the link as its first member.
template <class Node>
struct Rec { Node link; int id; };
template <class Node>
int id_of(const Node* n) { return n ? reinterpret_cast<const Rec<Node>*>(n)->id : -1; }

// The ids in list order, once head, tail, count and the chain agree (for the
// sorted list also the back links). The walk stops one node past count, so a
// cycle cannot hang it.
template <class List>
V ids(const List& l) {
    V out;
    const auto* last = decltype(l.head){};
    for (auto* n = l.head; n && static_cast<int64_t>(out.size()) <= l.count; last = n, n = n->next) {
        if constexpr (std::is_same_v<List, sorted_list>) { EXPECT_EQ(n->prev, last) << "back link of " << id_of(n); }
        out.push_back(id_of(n));
    }
    EXPECT_EQ(static_cast<int64_t>(out.size()), l.count) << "nodes reached against count";
    EXPECT_EQ(last, l.tail) << "tail is not the last node reached";
    return out;
}

void add(guarded_list* l, guarded_list_node* n, int) { guarded_list_push_back(l, n); }
void add(sorted_list* l, sorted_list_node* n, int key) { sorted_list_insert(l, n, key); }
void destroy(guarded_list* l) { guarded_list_destroy(l); }
void destroy(sorted_list* l) { sorted_list_destroy(l); }

// A list and an other built from ids (a sorted list keys a node by its id)
// out of eight nodes whose links start out pointing at a stale record.
template <class List>
struct Lists {
    Rec<std::remove_pointer_t<decltype(List::head)>> item[8]{}, stale{{}, 99};
    List list{}, other{};
    Lists(const V& start, const V& rest) {
        for (int i = 0; i < 8; ++i) item[i].id = i, item[i].link.next = &stale.link;
        for (int i : start) add(&list, n(i), i);
        for (int i : rest) add(&other, n(i), i);
    }
    ~Lists() { destroy(&list), destroy(&other); }
    auto* n(int i) { return i < 0 ? nullptr : &item[i].link; }
};

int id_at_least(guarded_list_node* n, uintptr_t min) { return id_of(n) >= static_cast<int>(min); }
int key_at_least(sorted_list_node* n, uintptr_t min) { return n->key >= min; }

enum Op { PushFront, PopFront, PopBack, Prev, Before, After, Remove, Find, Append, Split };

int run(Lists<guarded_list>& g, Op op, int a, int b) {
    guarded_list* l = &g.list;
    switch (op) {
        case PushFront: return guarded_list_push_front(l, g.n(a));
        case PopFront: return id_of(guarded_list_pop_front(l));
        case PopBack: return id_of(guarded_list_pop_back(l));
        case Prev: return id_of(guarded_list_prev(l, g.n(a)));
        case Before: return guarded_list_insert_before(l, g.n(a), g.n(b));
        case After: return guarded_list_insert_after(l, g.n(a), g.n(b));
        case Remove: return guarded_list_remove(l, g.n(a));
        case Find: return id_of(guarded_list_find(l, id_at_least, a));
        case Append: return guarded_list_append(l, b ? l : &g.other);
        case Split: return guarded_list_split(l, g.n(a), b ? l : &g.other);
    }
    return -2;
}

int run(Lists<sorted_list>& s, Op op, int a, int b) {
    sorted_list* l = &s.list;
    switch (op) {
        case PopFront: return id_of(sorted_list_pop_front(l));
        case PopBack: return id_of(sorted_list_pop_back(l));
        case Prev: return id_of(sorted_list_prev(l, s.n(a)));
        case Remove: return sorted_list_remove(l, s.n(a));
        case Find: return id_of(sorted_list_find(l, key_at_least, a));
        case Split: return sorted_list_split(l, s.n(a), b ? l : &s.other);
        default: return -2;
    }
}

// Node arguments a and b are ids, -1 for null (for append and split, b set
// names the list itself as the other); the result is an rc or an id.
struct Edit { V start; Op op; int a, b, ret; V want, other_start = {}, other_want = {}; };

bool has(const V& v, int i) { return std::find(v.begin(), v.end(), i) != v.end(); }

// A failure names the edit by its place in the table, counted from 0.
template <class List, size_t N>
void check(const Edit (&edits)[N]) {
    for (const Edit& e : edits) {
        SCOPED_TRACE("edit " + std::to_string(&e - edits));
        Lists<List> l(e.start, e.other_start);
        decltype(l.stale.link.next) links[8];
        for (int i = 0; i < 8; ++i) links[i] = l.item[i].link.next;
        EXPECT_EQ(run(l, e.op, e.a, e.b), e.ret);
        EXPECT_EQ(ids(l.list), e.want);
        EXPECT_EQ(ids(l.other), e.other_want);
        // A refused edit writes to no node, and the guarded list leaves the
        // link of a node it unlinks as it was.
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(has(e.want, i) || has(e.other_want, i) || l.item[i].link.next == links[i] ||
                        (std::is_same_v<List, sorted_list> && (has(e.start, i) || has(e.other_start, i))))
                << "link of node " << i;
    }
}

// The same for both kinds of list: ascending ids keep their order in a
// sorted list. A split overwrites the other list without visiting it.
const Edit kEitherList[] = {
    {{0, 1, 2}, PopFront, 0, 0, 0, {1, 2}}, {{0, 1, 2}, PopBack, 0, 0, 2, {0, 1}}, {{0}, PopFront, 0, 0, 0, {}},
    {{0}, PopBack, 0, 0, 0, {}}, {{}, PopFront, 0, 0, -1, {}}, {{0, 1, 2}, Prev, 2, 0, 1, {0, 1, 2}},
    {{0, 1, 2}, Remove, 0, 0, 0, {1, 2}}, {{0, 1, 2}, Remove, 1, 0, 0, {0, 2}}, {{0, 1, 2}, Remove, 2, 0, 0, {0, 1}},
    {{1, 3, 5}, Find, 2, 0, 3, {1, 3, 5}}, {{1, 3, 5}, Find, 6, 0, -1, {1, 3, 5}},
    {{0, 1, 2, 3}, Split, 2, 0, 0, {0, 1}, {6, 7}, {2, 3}}, {{0, 1, 2}, Split, 2, 0, 0, {0, 1}, {}, {2}},
    {{0, 1, 2}, Split, 0, 0, 0, {}, {}, {0, 1, 2}},
    // Refused: -1, and nothing changes.
    {{0, 1}, Remove, 4, 0, -1, {0, 1}}, {{0, 1}, Split, 1, 1, -1, {0, 1}},
    {{0, 1}, Split, 5, 0, -1, {0, 1}, {5, 6}, {5, 6}},
};

// What only the guarded list has, and answers that differ between the two.
const Edit kGuardedOnly[] = {
    {{}, PushFront, 1, 0, 0, {1}}, {{1, 2}, PushFront, 0, 0, 0, {0, 1, 2}}, {{4, 1, 6, 2}, Find, 2, 0, 4, {4, 1, 6, 2}},
    {{0, 1, 2}, Prev, -1, 0, 2, {0, 1, 2}}, {{0, 1, 2}, Prev, 5, 0, -1, {0, 1, 2}}, {{1, 3}, After, 4, 3, 0, {1, 3, 4}},
    {{1, 3}, Before, 0, 1, 0, {0, 1, 3}}, {{1, 3}, Before, 2, 3, 0, {1, 2, 3}}, {{1, 3}, After, 2, 1, 0, {1, 2, 3}},
    {{0, 1}, Append, 0, 0, 0, {0, 1}}, {{}, Append, 0, 0, 0, {2, 3}, {2, 3}, {}},
    {{0, 1}, Append, 0, 0, 0, {0, 1, 2, 3}, {2, 3}, {}},
    // Refused: -1, and nothing changes.
    {{0, 1}, Append, 0, 1, -1, {0, 1}}, {{0, 1}, After, -1, 1, -1, {0, 1}}, {{0, 1}, Before, 3, 4, -1, {0, 1}},
    {{0, 1}, Before, 3, -1, -1, {0, 1}}, {{0, 1}, After, 3, 4, -1, {0, 1}}, {{0, 1}, After, 3, -1, -1, {0, 1}},
    {{0, 1}, After, 3, 5, -1, {0, 1}, {5, 6}, {5, 6}},
};

TEST(SortedList, Edits) { check<sorted_list>(kEitherList); }
TEST(GuardedList, Edits) { check<guarded_list>(kEitherList); }
TEST(GuardedList, EditsOnlyItHas) { check<guarded_list>(kGuardedOnly); }

// Against a model: a stable sort of the insertions gives "after equal keys",
// one of the insertions reversed "before equal keys". Keys are few, so ties
// are common, and half of them lie above 2^63. Mode 0 is a zero-filled list:
// ascending, new nodes before equal keys.
TEST(SortedList, EveryOrderModeMatchesAStableSort) {
    std::mt19937_64 rng(12345);
    const uint64_t asc = SORTED_LIST_ASCENDING, desc = SORTED_LIST_DESCENDING, after = SORTED_LIST_TIE_AFTER;
    for (uint64_t mode : {uint64_t{0}, asc | SORTED_LIST_TIE_BEFORE, asc | after, desc | SORTED_LIST_TIE_BEFORE,
                          desc | after}) {
        Lists<sorted_list> s({}, {});
        if (mode) sorted_list_init(&s.list, mode & 0xfff, mode & ~uint64_t{0xfff});
        std::vector<Rec<sorted_list_node>> nodes(300);
        std::vector<uint64_t> keys(300);
        V want(300);
        for (int i = 0; i < 300; ++i) {
            keys[i] = rng() % 20 + ((rng() & 1) ? uint64_t{1} << 63 : 0);
            ASSERT_EQ(sorted_list_insert(&s.list, &nodes[i].link, keys[i]), 0);
            nodes[i].id = want[i] = i;
        }
        if (!(mode & after)) std::reverse(want.begin(), want.end());
        std::stable_sort(want.begin(), want.end(),
                         [&](int x, int y) { return mode & desc ? keys[x] > keys[y] : keys[x] < keys[y]; });
        EXPECT_EQ(ids(s.list), want) << "mode " << mode;
    }
}

// Destroy leaves a list that starts afresh on its next use (every list above
// started zero-filled); a sorted list keeps its order until then. An unknown
// order mode links a node only into an empty list. A node linked twice makes
// a cycle that no walk may hang on.
TEST(Lists, DestroyUnknownOrderModeAndCycles) {
    Lists<guarded_list> g({0, 1}, {});
    EXPECT_TRUE(guarded_list_destroy(&g.list) == 0 && !g.list.head && !g.list.tail && !g.list.count && !g.list.ready);
    Lists<sorted_list> s({}, {});
    sorted_list_init(&s.list, 3, 0x4000);
    EXPECT_TRUE(sorted_list_insert(&s.list, s.n(0), 5) == 0 && sorted_list_insert(&s.list, s.n(1), 6) == -1);
    EXPECT_EQ(ids(s.list), V{0});
    EXPECT_TRUE(sorted_list_destroy(&s.list) == 0 && s.list.order == 0x4003u);
    EXPECT_EQ(sorted_list_count(&s.list), 0);
    EXPECT_EQ(s.list.order, SORTED_LIST_ASCENDING | SORTED_LIST_TIE_BEFORE);
    Lists<guarded_list> c({0, 0}, {});
    for (Op op : {Prev, Remove, Find, Split}) EXPECT_EQ(run(c, op, 5, 0), -1) << op;
}

}  // namespace
