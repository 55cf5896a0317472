#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/guarded_list.h"
#include "core/sorted_list.h"

namespace {

// ---------------------------------------------------------------- guarded list

// A user record that embeds the link as its first member.
struct Item {
    guarded_list_node link;
    int id;
};
static_assert(offsetof(Item, link) == 0);

// The map's kind of node: the link and a pointer to the payload.
struct PayloadNode {
    guarded_list_node link;
    const char* payload;
};
static_assert(offsetof(PayloadNode, link) == 0 && offsetof(PayloadNode, payload) == sizeof(void*));

int id_of(const guarded_list_node* n) { return reinterpret_cast<const Item*>(n)->id; }

// count, head, tail and the end of the chain agree; returns the ids in order.
::testing::AssertionResult guarded_ok(const guarded_list& l, std::vector<int>* ids = nullptr) {
    if (l.ready != 1) return ::testing::AssertionFailure() << "not initialised";
    if ((l.head == nullptr) != (l.count == 0) || (l.tail == nullptr) != (l.count == 0))
        return ::testing::AssertionFailure() << "head/tail null does not match count " << l.count;
    std::vector<int> seen;
    const guarded_list_node* last = nullptr;
    for (const guarded_list_node* n = l.head; n; n = n->next) {
        if (static_cast<int64_t>(seen.size()) > l.count)
            return ::testing::AssertionFailure() << "more nodes reachable than count " << l.count;
        seen.push_back(id_of(n));
        last = n;
    }
    if (static_cast<int64_t>(seen.size()) != l.count)
        return ::testing::AssertionFailure() << seen.size() << " nodes reachable, count " << l.count;
    if (last != l.tail) return ::testing::AssertionFailure() << "tail is not the last reachable node";
    if (ids) *ids = seen;
    return ::testing::AssertionSuccess();
}

std::vector<int> ids(const guarded_list& l) {
    std::vector<int> out;
    EXPECT_TRUE(guarded_ok(l, &out));
    return out;
}

using V = std::vector<int>;

class GuardedList : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&list, 0, sizeof list);
        std::memset(&other, 0, sizeof other);
        for (int i = 0; i < 8; ++i) item[i] = Item{{nullptr}, i};
    }
    void TearDown() override {
        guarded_list_destroy(&list);
        guarded_list_destroy(&other);
    }
    guarded_list_node* n(int i) { return &item[i].link; }
    void fill(guarded_list* l, std::initializer_list<int> which) {
        for (int i : which) guarded_list_push_back(l, n(i));
    }

    guarded_list list;
    guarded_list other;
    Item item[8];
};

TEST_F(GuardedList, ZeroFilledListIsEmptyAndInitialisedByFirstUse) {
    EXPECT_EQ(list.ready, 0);
    EXPECT_EQ(guarded_list_count(&list), 0);
    EXPECT_EQ(list.ready, 1);
    EXPECT_EQ(guarded_list_first(&list), nullptr);
    EXPECT_EQ(guarded_list_last(&list), nullptr);
    EXPECT_EQ(guarded_list_pop_front(&list), nullptr);
    EXPECT_EQ(guarded_list_pop_back(&list), nullptr);
    EXPECT_EQ(guarded_list_prev(&list, nullptr), nullptr);
    EXPECT_TRUE(guarded_ok(list));

    static guarded_list static_list;  // zeroed by the loader, never initialised explicitly
    EXPECT_EQ(guarded_list_first(&static_list), nullptr);
    guarded_list_push_back(&static_list, n(0));
    EXPECT_EQ(ids(static_list), V{0});
    EXPECT_EQ(guarded_list_destroy(&static_list), 0);
}

TEST_F(GuardedList, QueueAndStackOrder) {
    fill(&list, {0, 1, 2});
    EXPECT_EQ(ids(list), (V{0, 1, 2}));
    EXPECT_EQ(guarded_list_pop_front(&list), n(0));
    EXPECT_EQ(item[0].link.next, n(1)) << "popped node keeps its link";
    EXPECT_EQ(ids(list), (V{1, 2}));
    EXPECT_EQ(guarded_list_pop_front(&list), n(1));
    EXPECT_EQ(ids(list), (V{2}));
    EXPECT_EQ(guarded_list_pop_front(&list), n(2));
    EXPECT_EQ(ids(list), V{});
    EXPECT_EQ(guarded_list_pop_front(&list), nullptr);

    fill(&list, {0, 1, 2});
    EXPECT_EQ(guarded_list_pop_back(&list), n(2));
    EXPECT_EQ(ids(list), (V{0, 1}));
    EXPECT_EQ(item[1].link.next, nullptr) << "new tail must end the chain";
    EXPECT_EQ(guarded_list_pop_back(&list), n(1));
    EXPECT_EQ(ids(list), (V{0}));
    EXPECT_EQ(guarded_list_pop_back(&list), n(0));
    EXPECT_EQ(ids(list), V{});
    EXPECT_EQ(guarded_list_pop_back(&list), nullptr);
}

TEST_F(GuardedList, PoppingTheOnlyNodeEmptiesTheListForEitherEnd) {
    guarded_list_push_back(&list, n(0));
    EXPECT_EQ(guarded_list_pop_front(&list), n(0));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    guarded_list_push_back(&list, n(1));
    EXPECT_EQ(ids(list), V{1});
    EXPECT_EQ(guarded_list_pop_back(&list), n(1));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    guarded_list_push_back(&list, n(2));
    EXPECT_EQ(ids(list), V{2});
}

TEST_F(GuardedList, PushFrontAndPushBackMix) {
    EXPECT_EQ(guarded_list_push_front(&list, n(1)), 0);
    EXPECT_EQ(list.tail, n(1)) << "first node pushed at the front is also the tail";
    EXPECT_EQ(ids(list), V{1});
    EXPECT_EQ(guarded_list_push_front(&list, n(0)), 0);
    EXPECT_EQ(ids(list), (V{0, 1}));
    item[2].link.next = n(7);  // stale link: push_back must clear it
    guarded_list_push_back(&list, n(2));
    EXPECT_EQ(ids(list), (V{0, 1, 2}));
    EXPECT_EQ(guarded_list_first(&list), n(0));
    EXPECT_EQ(guarded_list_last(&list), n(2));
    EXPECT_EQ(guarded_list_next(&list, n(0)), n(1));
    EXPECT_EQ(guarded_list_next(&list, n(2)), nullptr);
}

TEST_F(GuardedList, InsertAtBothEndsAndInTheMiddle) {
    fill(&list, {1, 3});
    EXPECT_EQ(guarded_list_insert_after(&list, n(4), n(3)), 0);
    EXPECT_EQ(list.tail, n(4));
    EXPECT_EQ(ids(list), (V{1, 3, 4}));
    EXPECT_EQ(guarded_list_insert_before(&list, n(0), n(1)), 0);
    EXPECT_EQ(list.head, n(0));
    EXPECT_EQ(ids(list), (V{0, 1, 3, 4}));
    EXPECT_EQ(guarded_list_insert_before(&list, n(2), n(3)), 0);
    EXPECT_EQ(ids(list), (V{0, 1, 2, 3, 4}));
    EXPECT_EQ(guarded_list_insert_after(&list, n(5), n(0)), 0);
    EXPECT_EQ(ids(list), (V{0, 5, 1, 2, 3, 4}));
    EXPECT_EQ(guarded_list_insert_before(&list, n(6), n(4)), 0);
    EXPECT_EQ(list.tail, n(4)) << "inserting before the tail keeps it";
    EXPECT_EQ(ids(list), (V{0, 5, 1, 2, 3, 6, 4}));
}

TEST_F(GuardedList, RemoveFromEachPosition) {
    fill(&list, {0, 1, 2, 3});
    EXPECT_EQ(guarded_list_remove(&list, n(3)), 0);
    EXPECT_EQ(list.tail, n(2));
    EXPECT_EQ(ids(list), (V{0, 1, 2}));
    EXPECT_EQ(guarded_list_remove(&list, n(1)), 0);
    EXPECT_EQ(item[1].link.next, n(2)) << "removed node keeps its link";
    EXPECT_EQ(ids(list), (V{0, 2}));
    EXPECT_EQ(guarded_list_remove(&list, n(0)), 0);
    EXPECT_EQ(ids(list), (V{2}));
    EXPECT_EQ(guarded_list_remove(&list, n(2)), 0);
    EXPECT_EQ(ids(list), V{});
    guarded_list_push_back(&list, n(5));
    EXPECT_EQ(ids(list), V{5});
}

TEST_F(GuardedList, Predecessor) {
    EXPECT_EQ(guarded_list_prev(&list, n(0)), nullptr);
    fill(&list, {0, 1, 2});
    EXPECT_EQ(guarded_list_prev(&list, n(0)), nullptr);
    EXPECT_EQ(guarded_list_prev(&list, n(1)), n(0));
    EXPECT_EQ(guarded_list_prev(&list, n(2)), n(1));
    EXPECT_EQ(guarded_list_prev(&list, nullptr), n(2));
    EXPECT_EQ(guarded_list_prev(&list, n(5)), nullptr);
}

int id_equals(guarded_list_node* node, uintptr_t want) { return id_of(node) == static_cast<int>(want); }
int id_at_least(guarded_list_node* node, uintptr_t min) { return id_of(node) >= static_cast<int>(min); }

TEST_F(GuardedList, FindReturnsTheFirstMatchInOrder) {
    EXPECT_EQ(guarded_list_find(&list, id_equals, 1), nullptr);
    fill(&list, {4, 1, 6, 2});
    EXPECT_EQ(guarded_list_find(&list, id_equals, 6), n(6));
    EXPECT_EQ(guarded_list_find(&list, id_at_least, 2), n(4));
    EXPECT_EQ(guarded_list_find(&list, id_at_least, 5), n(6));
    EXPECT_EQ(guarded_list_find(&list, id_equals, 7), nullptr);

    // The payload form of the map: the user word carries a pointer.
    PayloadNode a{{nullptr}, "boot"}, b{{nullptr}, "system"};
    guarded_list map{};
    guarded_list_push_back(&map, &a.link);
    guarded_list_push_back(&map, &b.link);
    auto by_name = [](guarded_list_node* node, uintptr_t name) {
        return std::strcmp(reinterpret_cast<PayloadNode*>(node)->payload, reinterpret_cast<const char*>(name)) == 0
                   ? 1
                   : 0;
    };
    EXPECT_EQ(guarded_list_find(&map, by_name, reinterpret_cast<uintptr_t>("system")), &b.link);
    EXPECT_EQ(guarded_list_find(&map, by_name, reinterpret_cast<uintptr_t>("modem")), nullptr);
    guarded_list_destroy(&map);
}

TEST_F(GuardedList, Append) {
    fill(&list, {0, 1});
    EXPECT_EQ(guarded_list_append(&list, &other), 0);
    EXPECT_EQ(ids(list), (V{0, 1}));
    EXPECT_EQ(ids(other), V{});

    fill(&other, {2, 3});
    EXPECT_EQ(guarded_list_append(&list, &other), 0);
    EXPECT_EQ(ids(list), (V{0, 1, 2, 3}));
    EXPECT_EQ(ids(other), V{});
    EXPECT_EQ(other.head, nullptr);
    EXPECT_EQ(other.tail, nullptr);

    // Into an empty list: the target takes over the source's ends and count.
    EXPECT_EQ(guarded_list_append(&other, &list), 0);
    EXPECT_EQ(other.head, n(0));
    EXPECT_EQ(other.tail, n(3));
    EXPECT_EQ(ids(other), (V{0, 1, 2, 3}));
    EXPECT_EQ(ids(list), V{});

    EXPECT_EQ(guarded_list_append(&other, &other), -1);
    EXPECT_EQ(ids(other), (V{0, 1, 2, 3}));
}

TEST_F(GuardedList, Split) {
    fill(&list, {0, 1, 2, 3});
    fill(&other, {6, 7});  // overwritten, not visited
    EXPECT_EQ(guarded_list_split(&list, n(2), &other), 0);
    EXPECT_EQ(ids(list), (V{0, 1}));
    EXPECT_EQ(ids(other), (V{2, 3}));

    EXPECT_EQ(guarded_list_split(&other, n(3), &list), 0);  // at the last node
    EXPECT_EQ(ids(other), V{2});
    EXPECT_EQ(ids(list), V{3});

    guarded_list_destroy(&list);
    fill(&list, {0, 1, 2});
    EXPECT_EQ(guarded_list_split(&list, n(0), &other), 0);  // at the first node
    EXPECT_EQ(ids(list), V{});
    EXPECT_EQ(ids(other), (V{0, 1, 2}));
}

TEST_F(GuardedList, NodesNotInTheListAreRefusedAndNothingIsWritten) {
    fill(&list, {0, 1, 2});
    fill(&other, {5, 6});
    item[4].link.next = n(7);  // a loose node with a recognisable link

    EXPECT_EQ(guarded_list_remove(&list, n(4)), -1);
    EXPECT_EQ(guarded_list_remove(&list, n(5)), -1);
    EXPECT_EQ(guarded_list_remove(&list, nullptr), -1);
    EXPECT_EQ(guarded_list_insert_before(&list, n(3), n(4)), -1);
    EXPECT_EQ(guarded_list_insert_before(&list, n(3), nullptr), -1);
    EXPECT_EQ(guarded_list_insert_after(&list, n(3), n(4)), -1);
    EXPECT_EQ(guarded_list_insert_after(&list, n(3), n(5)), -1);
    EXPECT_EQ(guarded_list_insert_after(&list, n(3), nullptr), -1);
    EXPECT_EQ(guarded_list_insert_after(&list, nullptr, n(1)), -1);
    EXPECT_EQ(guarded_list_split(&list, n(5), &other), -1);
    EXPECT_EQ(guarded_list_split(&list, nullptr, &other), -1);
    EXPECT_EQ(guarded_list_split(&list, n(1), &list), -1);

    EXPECT_EQ(ids(list), (V{0, 1, 2}));
    EXPECT_EQ(ids(other), (V{5, 6}));
    EXPECT_EQ(item[4].link.next, n(7));
    EXPECT_EQ(item[3].link.next, nullptr);

    guarded_list empty{};
    EXPECT_EQ(guarded_list_insert_after(&empty, n(3), n(4)), -1);
    EXPECT_EQ(guarded_list_insert_before(&empty, n(3), n(4)), -1);
    EXPECT_EQ(ids(empty), V{});
    guarded_list_destroy(&empty);
}

TEST_F(GuardedList, ANodeLinkedTwiceCannotHangAWalk) {
    fill(&list, {0});
    guarded_list_push_front(&list, n(0));  // n(0) now points at itself
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(guarded_list_prev(&list, n(5)), nullptr);
    EXPECT_EQ(guarded_list_remove(&list, n(5)), -1);
    EXPECT_EQ(guarded_list_find(&list, id_equals, 5), nullptr);
    EXPECT_EQ(guarded_list_split(&list, n(5), &other), -1);
}

TEST_F(GuardedList, DestroyThenReuse) {
    fill(&list, {0, 1});
    EXPECT_EQ(guarded_list_destroy(&list), 0);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.ready, 0);
    EXPECT_EQ(guarded_list_count(&list), 0);
    EXPECT_EQ(list.ready, 1);
    fill(&list, {2});
    EXPECT_EQ(ids(list), V{2});
}

TEST_F(GuardedList, ConcurrentProducersAndConsumersLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    // A lost update needs two threads inside one operation at once, which a
    // shared two-core machine makes rare: many short rounds catch it.
    for (int round = 0; round < 50; ++round) {
        // The first use of a list must not race with another first use.
        guarded_list_destroy(&list);
        guarded_list_init(&list);
        std::vector<Item> items(kThreads * kPerThread);
        std::atomic<int> waiting{kThreads};
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&, t] {
                waiting.fetch_sub(1);
                while (waiting.load() > 0) std::this_thread::yield();  // start together
                for (int i = 0; i < kPerThread; ++i) {
                    Item& it = items[static_cast<size_t>(t * kPerThread + i)];
                    it.id = t * kPerThread + i;
                    if (i % 2)
                        guarded_list_push_back(&list, &it.link);
                    else
                        guarded_list_push_front(&list, &it.link);
                    if (i % 3 == 0) {  // take one out again and put it back
                        guarded_list_node* got = guarded_list_pop_front(&list);
                        if (got) guarded_list_push_back(&list, got);
                    }
                }
            });
        }
        for (auto& w : workers) w.join();
        std::vector<int> seen;
        ASSERT_TRUE(guarded_ok(list, &seen)) << "round " << round;
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(seen.size(), items.size()) << "round " << round;
        for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<int>(i));
    }
}

// ------------------------------------------------------------------ sorted list

struct Keyed {
    sorted_list_node link;
    int id;
};
static_assert(offsetof(Keyed, link) == 0);

int kid(const sorted_list_node* n) { return reinterpret_cast<const Keyed*>(n)->id; }

// Both directions of links agree with head, tail and count, and the keys
// follow the list's direction. Returns the ids in order.
::testing::AssertionResult sorted_ok(const sorted_list& l, std::vector<int>* ids = nullptr) {
    if (l.ready != 1) return ::testing::AssertionFailure() << "not initialised";
    if ((l.head == nullptr) != (l.count == 0) || (l.tail == nullptr) != (l.count == 0))
        return ::testing::AssertionFailure() << "head/tail null does not match count " << l.count;
    if (l.head && l.head->prev) return ::testing::AssertionFailure() << "head has a predecessor";
    std::vector<int> seen;
    const sorted_list_node* last = nullptr;
    for (const sorted_list_node* n = l.head; n; n = n->next) {
        if (static_cast<int64_t>(seen.size()) > l.count)
            return ::testing::AssertionFailure() << "more nodes reachable than count";
        if (n->prev != last) return ::testing::AssertionFailure() << "prev of node " << kid(n) << " is wrong";
        if (last) {
            bool descending = (l.order & 0xfff) == SORTED_LIST_DESCENDING;
            if (descending ? last->key < n->key : last->key > n->key)
                return ::testing::AssertionFailure() << "keys out of order at node " << kid(n);
        }
        seen.push_back(kid(n));
        last = n;
    }
    if (static_cast<int64_t>(seen.size()) != l.count)
        return ::testing::AssertionFailure() << seen.size() << " nodes reachable, count " << l.count;
    if (last != l.tail) return ::testing::AssertionFailure() << "tail is not the last reachable node";
    if (ids) *ids = seen;
    return ::testing::AssertionSuccess();
}

std::vector<int> sids(const sorted_list& l) {
    std::vector<int> out;
    EXPECT_TRUE(sorted_ok(l, &out));
    return out;
}

class SortedList : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&list, 0, sizeof list);
        std::memset(&rest, 0, sizeof rest);
        for (int i = 0; i < 8; ++i) node[i] = Keyed{{nullptr, nullptr, 0}, i};
    }
    void TearDown() override {
        sorted_list_destroy(&list);
        sorted_list_destroy(&rest);
    }
    sorted_list_node* n(int i) { return &node[i].link; }
    // Inserts node i with key keys[i] for each i in order, checking as it goes.
    void insert_all(sorted_list* l, std::initializer_list<uint64_t> keys) {
        int i = 0;
        for (uint64_t k : keys) {
            EXPECT_EQ(sorted_list_insert(l, n(i++), k), 0);
            EXPECT_TRUE(sorted_ok(*l));
        }
    }

    sorted_list list;
    sorted_list rest;
    Keyed node[8];
};

TEST_F(SortedList, FourOrderModesPlaceEqualKeys) {
    // Nodes 0..3 get keys 5, 3, 5, 1: node 0 is the first 5, node 2 the second.
    struct Mode {
        uint64_t direction, tie;
        V expected;
    } modes[] = {
        {SORTED_LIST_ASCENDING, SORTED_LIST_TIE_BEFORE, {3, 1, 2, 0}},
        {SORTED_LIST_ASCENDING, SORTED_LIST_TIE_AFTER, {3, 1, 0, 2}},
        {SORTED_LIST_DESCENDING, SORTED_LIST_TIE_BEFORE, {2, 0, 1, 3}},
        {SORTED_LIST_DESCENDING, SORTED_LIST_TIE_AFTER, {0, 2, 1, 3}},
    };
    for (const Mode& m : modes) {
        SCOPED_TRACE(m.direction | m.tie);
        EXPECT_EQ(sorted_list_init(&list, m.direction, m.tie), 1);
        EXPECT_EQ(list.order, m.direction | m.tie);
        insert_all(&list, {5, 3, 5, 1});
        EXPECT_EQ(sids(list), m.expected);
        sorted_list_destroy(&list);
    }
}

TEST_F(SortedList, ZeroFilledListSortsAscendingWithNewNodesBeforeEqualKeys) {
    EXPECT_EQ(sorted_list_count(&list), 0);
    EXPECT_EQ(list.order, SORTED_LIST_ASCENDING | SORTED_LIST_TIE_BEFORE);
    insert_all(&list, {5, 3, 5, 1});
    EXPECT_EQ(sids(list), (V{3, 1, 2, 0}));
}

TEST_F(SortedList, KeysAtAndAboveTwoToThe63SortAsUnsigned) {
    const uint64_t top = uint64_t{1} << 63;
    insert_all(&list, {top, 1, UINT64_MAX, 0, top - 1, top + 1});
    EXPECT_EQ(sids(list), (V{3, 1, 4, 0, 5, 2}));
    EXPECT_EQ(n(2)->key, UINT64_MAX);
}

// Against a model: a stable sort of the insertion sequence gives "after
// equal keys"; reversing the sequence first gives "before equal keys".
TEST_F(SortedList, RandomInsertionsMatchAStableSortInEveryMode) {
    std::mt19937_64 rng(12345);
    for (uint64_t direction : {SORTED_LIST_ASCENDING, SORTED_LIST_DESCENDING}) {
        for (uint64_t tie : {SORTED_LIST_TIE_BEFORE, SORTED_LIST_TIE_AFTER}) {
            SCOPED_TRACE(direction | tie);
            std::vector<Keyed> nodes(300);
            sorted_list l{};
            sorted_list_init(&l, direction, tie);
            std::vector<std::pair<uint64_t, int>> model;
            for (int i = 0; i < static_cast<int>(nodes.size()); ++i) {
                // Few distinct keys so that ties are common, some above 2^63.
                uint64_t key = (rng() % 20) + ((rng() & 1) ? (uint64_t{1} << 63) : 0);
                nodes[static_cast<size_t>(i)].id = i;
                ASSERT_EQ(sorted_list_insert(&l, &nodes[static_cast<size_t>(i)].link, key), 0);
                model.emplace_back(key, i);
            }
            if (tie == SORTED_LIST_TIE_BEFORE) std::reverse(model.begin(), model.end());
            std::stable_sort(model.begin(), model.end(), [&](const auto& x, const auto& y) {
                return direction == SORTED_LIST_ASCENDING ? x.first < y.first : x.first > y.first;
            });
            V expected;
            for (const auto& e : model) expected.push_back(e.second);
            EXPECT_EQ(sids(l), expected);
            sorted_list_destroy(&l);
        }
    }
}

TEST_F(SortedList, PopFromBothEnds) {
    insert_all(&list, {4, 2, 9});
    EXPECT_EQ(sorted_list_first(&list), n(1));
    EXPECT_EQ(sorted_list_last(&list), n(2));
    EXPECT_EQ(sorted_list_pop_front(&list), n(1));
    EXPECT_EQ(sids(list), (V{0, 2}));
    EXPECT_EQ(sorted_list_pop_back(&list), n(2));
    EXPECT_EQ(sids(list), V{0});
    EXPECT_EQ(sorted_list_pop_back(&list), n(0));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(sorted_list_pop_back(&list), nullptr);
    EXPECT_EQ(sorted_list_pop_front(&list), nullptr);

    insert_all(&list, {7});
    EXPECT_EQ(sorted_list_pop_front(&list), n(0));
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    insert_all(&list, {7});
    EXPECT_EQ(sids(list), V{0});
}

TEST_F(SortedList, RemoveFromEachPosition) {
    insert_all(&list, {1, 2, 3, 4, 5});
    EXPECT_EQ(sorted_list_remove(&list, n(4)), 0);
    EXPECT_EQ(sids(list), (V{0, 1, 2, 3}));
    EXPECT_EQ(sorted_list_remove(&list, n(0)), 0);
    EXPECT_EQ(sids(list), (V{1, 2, 3}));
    EXPECT_EQ(sorted_list_remove(&list, n(2)), 0);
    EXPECT_EQ(sids(list), (V{1, 3}));
    EXPECT_EQ(sorted_list_remove(&list, n(5)), -1);
    EXPECT_EQ(sorted_list_remove(&list, nullptr), -1);
    EXPECT_EQ(sids(list), (V{1, 3}));
    EXPECT_EQ(sorted_list_remove(&list, n(3)), 0);
    EXPECT_EQ(sorted_list_remove(&list, n(1)), 0);
    EXPECT_EQ(sids(list), V{});
}

int key_at_least(sorted_list_node* node, uintptr_t min) { return node->key >= min; }

TEST_F(SortedList, FindWalksFromTheHead) {
    EXPECT_EQ(sorted_list_find(&list, key_at_least, 0), nullptr);
    insert_all(&list, {40, 10, 30, 20});
    EXPECT_EQ(sorted_list_find(&list, key_at_least, 15), n(3));
    EXPECT_EQ(sorted_list_find(&list, key_at_least, 0), n(1));
    EXPECT_EQ(sorted_list_find(&list, key_at_least, 41), nullptr);
}

TEST_F(SortedList, Split) {
    insert_all(&list, {1, 2, 3, 4});
    EXPECT_EQ(sorted_list_insert(&rest, n(7), 9), 0);  // overwritten, not visited
    EXPECT_EQ(sorted_list_split(&list, n(2), &rest), 0);
    EXPECT_EQ(sids(list), (V{0, 1}));
    EXPECT_EQ(sids(rest), (V{2, 3}));
    EXPECT_EQ(n(2)->prev, nullptr);

    EXPECT_EQ(sorted_list_split(&rest, n(3), &list), 0);  // at the last node
    EXPECT_EQ(sids(rest), V{2});
    EXPECT_EQ(sids(list), V{3});
    EXPECT_EQ(sorted_list_split(&rest, n(2), &list), 0);  // at the first node
    EXPECT_EQ(sids(rest), V{});
    EXPECT_EQ(sids(list), V{2});

    EXPECT_EQ(sorted_list_split(&list, n(6), &rest), -1);
    EXPECT_EQ(sorted_list_split(&list, n(2), &list), -1);
    EXPECT_EQ(sids(list), V{2});
    EXPECT_EQ(sids(rest), V{});
}

TEST_F(SortedList, UnknownOrderModeLinksOnlyIntoAnEmptyList) {
    sorted_list_init(&list, 3, 0x4000);
    EXPECT_EQ(sorted_list_insert(&list, n(0), 5), 0);
    EXPECT_EQ(sorted_list_insert(&list, n(1), 6), -1);
    EXPECT_EQ(n(1)->key, 6u);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(list.head, n(0));
    EXPECT_EQ(list.tail, n(0));
}

TEST_F(SortedList, DestroyKeepsTheOrderAndReuseStartsAfresh) {
    sorted_list_init(&list, SORTED_LIST_DESCENDING, SORTED_LIST_TIE_AFTER);
    insert_all(&list, {1, 2});
    EXPECT_EQ(sorted_list_destroy(&list), 0);
    EXPECT_EQ(list.order, SORTED_LIST_DESCENDING | SORTED_LIST_TIE_AFTER);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.ready, 0);
    EXPECT_EQ(sorted_list_count(&list), 0);
    EXPECT_EQ(list.order, SORTED_LIST_ASCENDING | SORTED_LIST_TIE_BEFORE);
}

}  // namespace
