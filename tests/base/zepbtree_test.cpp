#include "base/zepbtree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Rec {
  uintptr_t key;
  uint64_t payload;
};
typedef ZEPBTree<Rec> Tree;

const uintptr_t kTop = ~(~uintptr_t(0) >> 1);  // only the top bit set

Rec R(uintptr_t key, uint64_t payload = 0) {
  Rec r = {key, payload};
  return r;
}

// ---- structure checker ----------------------------------------------------

// Walks the whole tree and reports the first broken invariant, or "".
class Checker {
 public:
  explicit Checker(const Tree& tree) : m_Tree(tree) {}

  std::string Run() {
    const BTREE_INDEX_LEAF_tag* root = m_Tree.GetRootNode();
    if (root != NULL) {
      if (root->m_pParent != NULL) return "root has a parent";
      if (root->m_nLevel == BTREE_LEVEL_INDEX && root->m_nKeys == 0)
        return "index root without keys";
      uintptr_t min;
      Node(&min, root, 0, false, 0, false, 0);
      if (!m_Error.empty()) return m_Error;
      if (m_Leaves.empty()) return "tree without data leaves";
    }
    if (m_nKeys != m_Tree.GetKeyCount()) return Fail("key count", m_nKeys, m_Tree.GetKeyCount());
    const BTREE_STATS_tag& st = m_Tree.GetStats();
    if (st.m_nRecNew - st.m_nRecDel != m_nRecs)
      return Fail("live records", m_nRecs, st.m_nRecNew - st.m_nRecDel);
    if (st.m_nContainerNew - st.m_nContainerDel != m_nRecs)
      return "live containers differ from records";
    if (st.m_nDataLeafNew - st.m_nDataLeafDel != m_Leaves.size()) return "live data leaves";
    if (st.m_nIndexLeafNew - st.m_nIndexLeafDel != m_nIndex) return "live index nodes";
    if (m_Tree.IsDataListValid()) {
      const BTREE_DATA_LEAF_tag* prev = NULL;
      size_t i = 0;
      for (const BTREE_DATA_LEAF_tag* l = m_Tree.GetDataListHead(); l != NULL;
           l = l->m_pNext, ++i) {
        if (i >= m_Leaves.size() || l != m_Leaves[i]) return "data list out of tree order";
        if (l->m_pPrev != prev) return "data list back link";
        prev = l;
      }
      if (i != m_Leaves.size()) return "data list misses leaves";
      if (m_Tree.GetDataListTail() != prev) return "data list tail";
    }
    return "";
  }

 private:
  std::string Fail(const char* what, size_t want, size_t got) {
    std::ostringstream os;
    os << what << ": walked " << want << ", tree says " << got;
    return os.str();
  }
  void Error(const std::string& e) {
    if (m_Error.empty()) m_Error = e;
  }

  // Every key below the node lies in [lo, hi); a missing bound is open.
  // Each separator must be the smallest key right of it: the key of a live
  // record. Returns the node's smallest key through *min.
  void Node(uintptr_t* min, const BTREE_INDEX_LEAF_tag* n, int depth, bool hasLo, uintptr_t lo,
            bool hasHi, uintptr_t hi) {
    ++m_nIndex;
    const bool isRoot = n == m_Tree.GetRootNode();
    const int nk = n->m_nKeys;
    if (nk > 4) return Error("more than four separators");
    if (!isRoot && nk < 2) return Error("non-root index node below two separators");
    if (n->m_nLevel != BTREE_LEVEL_INDEX && n->m_nLevel != BTREE_LEVEL_DATA)
      return Error("bad level");
    for (int i = 0; i < nk; ++i) {
      if (i > 0 && n->m_nKey[i - 1] >= n->m_nKey[i]) return Error("separators out of order");
      if ((hasLo && n->m_nKey[i] < lo) || (hasHi && n->m_nKey[i] >= hi))
        return Error("separator outside its parent's range");
    }
    for (int i = nk; i < 4; ++i)
      if (n->m_nKey[i] != 0) return Error("stale separator beyond the count");
    for (int i = nk + 1; i < 5; ++i)
      if (n->m_pChild[i] != NULL) return Error("child beyond the count");
    bool haveMin = false;
    uintptr_t sub = 0;
    for (int i = 0; i <= nk; ++i) {
      const bool cLo = i > 0 || hasLo;
      const uintptr_t cl = i > 0 ? n->m_nKey[i - 1] : lo;
      const bool cHi = i < nk || hasHi;
      const uintptr_t ch = i < nk ? n->m_nKey[i] : hi;
      const void* child = n->m_pChild[i];
      if (child == NULL) {
        // Only the one-separator root over data leaves may lose its child 0.
        if (!(isRoot && i == 0 && nk == 1 && n->m_nLevel == BTREE_LEVEL_DATA))
          return Error("unexpected empty child");
        continue;
      }
      if (n->m_nLevel == BTREE_LEVEL_INDEX) {
        const BTREE_INDEX_LEAF_tag* c = static_cast<const BTREE_INDEX_LEAF_tag*>(child);
        if (c->m_pParent != n) return Error("parent pointer");
        Node(&sub, c, depth + 1, cLo, cl, cHi, ch);
      } else {
        Leaf(&sub, static_cast<const BTREE_DATA_LEAF_tag*>(child), depth + 1, cLo, cl, cHi, ch);
      }
      if (!m_Error.empty()) return;
      if (i > 0 && sub != n->m_nKey[i - 1])
        return Error("separator is not the first key right of it");
      if (!haveMin) *min = sub;
      haveMin = true;
    }
  }

  void Leaf(uintptr_t* min, const BTREE_DATA_LEAF_tag* l, int depth, bool hasLo, uintptr_t lo,
            bool hasHi, uintptr_t hi) {
    if (m_nLeafDepth < 0) m_nLeafDepth = depth;
    if (depth != m_nLeafDepth) return Error("data leaves at different depths");
    m_Leaves.push_back(l);
    if (l->m_nCount < 1 || l->m_nCount > 4) return Error("data leaf entry count");
    // Only the root's one or two leaves may fall below two entries.
    const BTREE_INDEX_LEAF_tag* root = m_Tree.GetRootNode();
    if (l->m_nCount < 2 && !(root->m_nLevel == BTREE_LEVEL_DATA && root->m_nKeys <= 1))
      return Error("data leaf below two entries");
    *min = l->m_nKey[0];
    for (unsigned i = 0; i < 4; ++i) {
      if (i >= l->m_nCount) {
        if (l->m_pData[i] != NULL || l->m_nKey[i] != 0)
          return Error("slot beyond the count in use");
        continue;
      }
      const uintptr_t k = l->m_nKey[i];
      if (i > 0 && l->m_nKey[i - 1] >= k) return Error("leaf keys out of order");
      if ((hasLo && k < lo) || (hasHi && k >= hi)) return Error("leaf key outside its separators");
      ++m_nKeys;
      for (const DATA_CONTAINER_tag* c = l->m_pData[i]; c != NULL; c = c->m_pNext) {
        ++m_nRecs;
        if (c->m_pRec == NULL || Tree::KeyOf(c->m_pRec) != k)
          return Error("record key differs from slot key");
        if (c->m_nReserved != 0) return Error("container spare word in use");
      }
    }
  }

  const Tree& m_Tree;
  std::string m_Error;
  std::vector<const BTREE_DATA_LEAF_tag*> m_Leaves;
  size_t m_nKeys = 0, m_nRecs = 0, m_nIndex = 0;
  int m_nLeafDepth = -1;
};

std::string CheckTree(const Tree& t) { return Checker(t).Run(); }

// ---- differential harness -------------------------------------------------

// Runs the tree beside an oracle: std::map for unique keys, std::multimap
// (which keeps equal keys in insertion order) for trains.
template <class Oracle>
class Harness {
 public:
  Harness(bool usePools, bool dup, const std::string& name) : m_Tree(usePools), m_Name(name) {
    m_Tree.SetAllowDuplicates(dup);
  }

  void Insert(uintptr_t key) {
    const uint64_t payload = ++m_nSerial;
    const bool present = m_Oracle.count(key) != 0;
    Rec r = R(key, payload);
    ASSERT_EQ(m_Tree.InsertKey(r), present ? 1 : 0) << Where("insert", key);
    m_Oracle.emplace(key, payload);  // a std::map keeps the first record
  }

  void Delete(uintptr_t key) {
    const bool present = m_Oracle.count(key) != 0;
    ASSERT_EQ(m_Tree.DeleteKey(R(key)), present ? 0 : 1) << Where("delete", key);
    m_Oracle.erase(key);
  }

  void Search(uintptr_t key, int outputs) {
    SEARCH_KEY_tag cursor;
    Rec* prev = NULL;
    Rec* next = NULL;
    const bool full = outputs != 0;
    Rec* got = full ? m_Tree.SearchKey(R(key), &cursor, &prev, &next) : m_Tree.SearchKey(R(key));
    auto lb = m_Oracle.lower_bound(key);
    if (lb != m_Oracle.end() && lb->first == key) {
      ASSERT_TRUE(got != NULL) << Where("search", key);
      ASSERT_EQ(got->payload, lb->second) << Where("search first of train", key);
      if (full) {
        ASSERT_EQ(cursor.m_pContainer->m_pRec, got) << Where("search cursor", key);
      }
    } else {
      ASSERT_TRUE(got == NULL) << Where("search absent", key);
    }
    if (!full) return;
    if (lb == m_Oracle.begin()) {
      ASSERT_TRUE(prev == NULL) << Where("prev at start", key);
    } else {
      auto p = m_Oracle.lower_bound(std::prev(lb)->first);
      ASSERT_TRUE(prev != NULL) << Where("prev", key);
      ASSERT_EQ(prev->key, p->first) << Where("prev key", key);
      ASSERT_EQ(prev->payload, p->second) << Where("prev payload", key);
    }
    auto ub = m_Oracle.upper_bound(key);
    if (ub == m_Oracle.end()) {
      ASSERT_TRUE(next == NULL) << Where("next at end", key);
    } else {
      ASSERT_TRUE(next != NULL) << Where("next", key);
      ASSERT_EQ(next->key, ub->first) << Where("next key", key);
      ASSERT_EQ(next->payload, ub->second) << Where("next payload", key);
    }
  }

  void Iterate(bool walkTrain) {
    GET_KEY_tag cursor;
    auto it = m_Oracle.begin();
    for (Rec* r = m_Tree.GetFirstKey(&cursor); r != NULL;
         r = m_Tree.GetNextKey(&cursor, walkTrain)) {
      ASSERT_TRUE(it != m_Oracle.end()) << Where("iteration runs past the end", r->key);
      ASSERT_EQ(r->key, it->first) << Where("iteration key", it->first);
      ASSERT_EQ(r->payload, it->second) << Where("iteration payload", it->first);
      it = walkTrain ? std::next(it) : m_Oracle.upper_bound(it->first);
    }
    ASSERT_TRUE(it == m_Oracle.end()) << Where("iteration ends early", 0);
  }

  // A walk interrupted by a change ends at once.
  void StaleWalk(uintptr_t key) {
    GET_KEY_tag cursor;
    Rec* first = m_Tree.GetFirstKey(&cursor);
    const bool present = m_Oracle.count(key) != 0;
    if (present)
      Delete(key);
    else
      Insert(key);
    if (first != NULL) {
      ASSERT_TRUE(m_Tree.GetNextKey(&cursor, true) == NULL) << Where("stale cursor", key);
    }
  }

  void Check() {
    std::string e = CheckTree(m_Tree);
    ASSERT_EQ(e, "") << Where("structure", 0);
  }

  size_t Size() const { return m_Oracle.size(); }
  uint64_t Ops() const { return m_nSerial; }
  void SetStep(long step) { m_nStep = step; }

 private:
  std::string Where(const char* what, uintptr_t key) const {
    std::ostringstream os;
    os << m_Name << " step " << m_nStep << ": " << what << " key " << key;
    return os.str();
  }

  Tree m_Tree;
  Oracle m_Oracle;
  std::string m_Name;
  uint64_t m_nSerial = 0;
  long m_nStep = 0;
};

enum KeyOrder { kRandom, kAscending, kDescending };

struct Scenario {
  const char* name;
  uint32_t seed;
  bool dup;
  bool pools;
  KeyOrder order;
  uintptr_t range;  // distinct keys drawn from
  bool wide;        // keys spread over the whole unsigned range
  long ops;
};

// Maps a draw in [0, range) to a key; wide keys keep the order of the draw
// but spread it over all bits, so the top bit is set for half of them.
uintptr_t KeyFor(const Scenario& s, uintptr_t v) {
  if (!s.wide) return v;
  const uintptr_t step = ~uintptr_t(0) / s.range;
  return v * step + (v & 7);
}

template <class Oracle>
long RunScenario(const Scenario& s) {
  std::ostringstream name;
  name << s.name << " seed " << s.seed;
  Harness<Oracle> h(s.pools, s.dup, name.str());
  std::mt19937_64 rng(s.seed);
  long step = 0;
  uintptr_t cursor = s.order == kDescending ? s.range - 1 : 0;
  // Phases alternate between growing and shrinking so that index levels are
  // both added and removed; ordered runs insert in order, delete in order.
  for (; step < s.ops; ++step) {
    h.SetStep(step);
    const bool growing = (step / (s.ops / 4 + 1)) % 2 == 0;
    const unsigned r = static_cast<unsigned>(rng() % 1000);
    uintptr_t v;
    if (s.order == kRandom) {
      v = rng() % s.range;
    } else {
      v = cursor;
      if (s.order == kAscending)
        cursor = (cursor + 1) % s.range;
      else
        cursor = cursor == 0 ? s.range - 1 : cursor - 1;
    }
    const uintptr_t key = KeyFor(s, v);
    // Ordered runs only insert while growing and only delete while shrinking.
    unsigned insertShare = growing ? 550 : 250;
    unsigned deleteEnd = 800;
    if (s.order != kRandom) {
      insertShare = growing ? 800 : 0;
      deleteEnd = 800;
    }
    if (r < insertShare) {
      h.Insert(key);
      if (s.dup && r % 5 == 0) h.Insert(key);
    } else if (r < deleteEnd) {
      h.Delete(key);
    } else if (r < 990) {
      h.Search(KeyFor(s, rng() % s.range), static_cast<int>(r % 2));
    } else if (r < 996) {
      h.Iterate(r % 2 == 0);
    } else {
      h.StaleWalk(key);
    }
    if (::testing::Test::HasFatalFailure()) return step;
    // The full check is O(n); big trees are checked on every 8th step.
    if (h.Size() <= 256 || step % 8 == 0) h.Check();
    if (::testing::Test::HasFatalFailure()) return step;
  }
  h.Iterate(true);
  h.Check();
  return step;
}

long RunOne(const Scenario& s) {
  return s.dup ? RunScenario<std::multimap<uintptr_t, uint64_t>>(s)
               : RunScenario<std::map<uintptr_t, uint64_t>>(s);
}

TEST(ZEPBTreeDifferential, MatchesOracleOverMixedOperations) {
  const Scenario scenarios[] = {
      {"small range, unique, pools", 1, false, true, kRandom, 40, false, 30000},
      {"small range, trains, heap", 2, true, false, kRandom, 40, false, 30000},
      {"medium range, unique, heap", 3, false, false, kRandom, 3000, false, 30000},
      {"medium range, trains, pools", 4, true, true, kRandom, 3000, false, 25000},
      {"wide keys, unique, pools", 5, false, true, kRandom, 1500, true, 25000},
      {"wide keys, trains, heap", 6, true, false, kRandom, 600, true, 15000},
      {"ascending, unique, pools", 7, false, true, kAscending, 5000, false, 25000},
      {"descending, unique, heap", 8, false, false, kDescending, 5000, false, 25000},
      {"ascending wide, trains, heap", 9, true, false, kAscending, 2500, true, 12500},
      {"descending wide, trains, pools", 10, true, true, kDescending, 2500, true, 12500},
  };
  long total = 0;
  for (const Scenario& s : scenarios) {
    total += RunOne(s);
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(total, 200000);
}

// ---- named cases ----------------------------------------------------------

const BTREE_DATA_LEAF_tag* LeafAt(const Tree& t, int i) {
  return static_cast<const BTREE_DATA_LEAF_tag*>(t.GetRootNode()->m_pChild[i]);
}

std::vector<uintptr_t> LeafKeys(const BTREE_DATA_LEAF_tag* l) {
  return std::vector<uintptr_t>(l->m_nKey, l->m_nKey + l->m_nCount);
}

std::vector<uintptr_t> Walk(Tree& t, bool walkTrain) {
  std::vector<uintptr_t> keys;
  GET_KEY_tag cursor;
  for (Rec* r = t.GetFirstKey(&cursor); r != NULL; r = t.GetNextKey(&cursor, walkTrain))
    keys.push_back(r->key);
  return keys;
}

typedef std::vector<uintptr_t> Keys;

TEST(ZEPBTreeEdge, KeysOneToFiveSplitTheOnlyLeaf) {
  for (bool pools : {true, false}) {
    Tree t(pools);
    for (uintptr_t k = 1; k <= 5; ++k) EXPECT_EQ(t.InsertKey(R(k, k * 10)), 0);
    // No sibling to hand over to: the leaf splits and 3 goes up.
    const BTREE_INDEX_LEAF_tag* root = t.GetRootNode();
    ASSERT_EQ(root->m_nKeys, 1);
    EXPECT_EQ(root->m_nKey[0], 3u);
    EXPECT_EQ(LeafKeys(LeafAt(t, 0)), (Keys{1, 2}));
    EXPECT_EQ(LeafKeys(LeafAt(t, 1)), (Keys{3, 4, 5}));
    for (uintptr_t k = 1; k <= 5; ++k) {
      Rec* r = t.SearchKey(R(k));
      ASSERT_TRUE(r != NULL);
      EXPECT_EQ(r->payload, k * 10);
    }
    Rec *prev, *next;
    SEARCH_KEY_tag cursor;
    ASSERT_TRUE(t.SearchKey(R(3), &cursor, &prev, &next) != NULL);
    EXPECT_EQ(prev->key, 2u);
    EXPECT_EQ(next->key, 4u);
    EXPECT_EQ(cursor.m_nPos, 0);
    EXPECT_EQ(CheckTree(t), "");
  }
  // A new key below the third entry stays in the old leaf, which keeps three.
  Tree t(false);
  for (uintptr_t k : {10, 20, 30, 40, 15}) ASSERT_EQ(t.InsertKey(R(k)), 0);
  EXPECT_EQ(LeafKeys(LeafAt(t, 0)), (Keys{10, 15, 20}));
  EXPECT_EQ(LeafKeys(LeafAt(t, 1)), (Keys{30, 40}));
  EXPECT_EQ(t.GetRootNode()->m_nKey[0], 30u);
}

TEST(ZEPBTreeEdge, FullLeafHandsOverToSiblingsBeforeSplitting) {
  Tree t(false);
  for (uintptr_t k : {10, 20, 30, 40, 50, 31}) ASSERT_EQ(t.InsertKey(R(k)), 0);
  // [10 20] 30 [30 31 40 50]: inserting 32 passes 30 to the left sibling.
  ASSERT_EQ(t.InsertKey(R(32)), 0);
  EXPECT_EQ(LeafKeys(LeafAt(t, 0)), (Keys{10, 20, 30}));
  EXPECT_EQ(LeafKeys(LeafAt(t, 1)), (Keys{31, 32, 40, 50}));
  EXPECT_EQ(t.GetRootNode()->m_nKey[0], 31u);

  Tree u(false);
  for (uintptr_t k : {10, 20, 30, 40, 50, 1, 2}) ASSERT_EQ(u.InsertKey(R(k)), 0);
  // [1 2 10 20] 30 [30 40 50]: inserting 3 passes 20 to the right sibling.
  ASSERT_EQ(u.InsertKey(R(3)), 0);
  EXPECT_EQ(LeafKeys(LeafAt(u, 0)), (Keys{1, 2, 3, 10}));
  EXPECT_EQ(LeafKeys(LeafAt(u, 1)), (Keys{20, 30, 40, 50}));
  EXPECT_EQ(u.GetRootNode()->m_nKey[0], 20u);
  EXPECT_EQ(CheckTree(t), "");
  EXPECT_EQ(CheckTree(u), "");
}

TEST(ZEPBTreeEdge, UnderfullLeafMergesThenBorrows) {
  Tree t(false);
  for (uintptr_t k : {10, 20, 30, 40, 50, 60, 70}) ASSERT_EQ(t.InsertKey(R(k)), 0);
  // [10 20 30] 40 [40 50 60 70]: deleting 10 and 20 leaves one entry and
  // the right sibling is too full to merge, so its first entry comes over.
  ASSERT_EQ(t.DeleteKey(R(10)), 0);
  ASSERT_EQ(t.DeleteKey(R(20)), 0);
  EXPECT_EQ(LeafKeys(LeafAt(t, 0)), (Keys{30, 40}));
  EXPECT_EQ(LeafKeys(LeafAt(t, 1)), (Keys{50, 60, 70}));
  EXPECT_EQ(t.GetRootNode()->m_nKey[0], 50u);
  // Deleting 40 leaves [30] beside three: they merge into the right leaf and
  // the root keeps its one separator over an empty child 0.
  ASSERT_EQ(t.DeleteKey(R(40)), 0);
  EXPECT_TRUE(t.GetRootNode()->m_pChild[0] == NULL);
  EXPECT_EQ(LeafKeys(LeafAt(t, 1)), (Keys{30, 50, 60, 70}));
  EXPECT_EQ(t.GetRootNode()->m_nKey[0], 30u);
  EXPECT_EQ(CheckTree(t), "");

  // Below the separator lies the empty child: nothing smaller, next is 30,
  // and an insert there brings the leaf back.
  Rec *prev, *next;
  EXPECT_TRUE(t.SearchKey(R(5), NULL, &prev, &next) == NULL);
  EXPECT_TRUE(prev == NULL);
  ASSERT_TRUE(next != NULL);
  EXPECT_EQ(next->key, 30u);
  EXPECT_EQ(t.DeleteKey(R(5)), 1);
  ASSERT_EQ(t.InsertKey(R(5)), 0);
  EXPECT_EQ(LeafKeys(LeafAt(t, 0)), (Keys{5}));
  EXPECT_EQ(Walk(t, true), (Keys{5, 30, 50, 60, 70}));
  EXPECT_EQ(CheckTree(t), "");
}

TEST(ZEPBTreeEdge, DuplicatesFormTrainsOnlyWhenAllowed) {
  Tree unique(true);
  EXPECT_EQ(unique.InsertKey(R(7, 1)), 0);
  EXPECT_EQ(unique.InsertKey(R(7, 2)), 1);
  EXPECT_EQ(unique.GetStats().m_nRecNew, 1u);
  EXPECT_EQ(unique.SearchKey(R(7))->payload, 1u);

  Tree trains(true);
  trains.SetAllowDuplicates(true);
  EXPECT_EQ(trains.InsertKey(R(7, 1)), 0);
  EXPECT_EQ(trains.InsertKey(R(7, 2)), 1);
  EXPECT_EQ(trains.InsertKey(R(9, 3)), 0);
  GET_KEY_tag cursor;
  std::vector<uint64_t> seen;
  for (Rec* r = trains.GetFirstKey(&cursor); r != NULL; r = trains.GetNextKey(&cursor, true))
    seen.push_back(r->payload);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(Walk(trains, false), (Keys{7, 9}));
  // The whole train goes with its key.
  EXPECT_EQ(trains.DeleteKey(R(7)), 0);
  EXPECT_EQ(trains.GetStats().m_nRecDel, 2u);
  EXPECT_EQ(trains.GetStats().m_nContainerDel, 2u);
  EXPECT_EQ(Walk(trains, true), (Keys{9}));
}

TEST(ZEPBTreeEdge, DeletingTheOnlyKeyEmptiesTheTree) {
  for (bool pools : {true, false}) {
    Tree t(pools);
    GET_KEY_tag cursor;
    EXPECT_EQ(t.DeleteKey(R(1)), 1);
    EXPECT_TRUE(t.GetFirstKey(&cursor) == NULL);
    ASSERT_EQ(t.InsertKey(R(1)), 0);
    EXPECT_EQ(t.DeleteKey(R(2)), 1);
    EXPECT_EQ(t.DeleteKey(R(1)), 0);
    EXPECT_TRUE(t.GetFirstKey(&cursor) == NULL);
    EXPECT_TRUE(t.GetNextKey(&cursor, true) == NULL);
    EXPECT_TRUE(t.GetRootNode() == NULL);
    EXPECT_EQ(t.GetKeyCount(), 0u);
    EXPECT_EQ(CheckTree(t), "");
    ASSERT_EQ(t.InsertKey(R(1)), 0);
    EXPECT_EQ(Walk(t, true), (Keys{1}));
  }
}

TEST(ZEPBTreeEdge, SearchOutsideTheKeysGivesTheNearestNeighbour) {
  Tree t(false);
  for (uintptr_t k = 10; k <= 100; k += 10) ASSERT_EQ(t.InsertKey(R(k)), 0);
  Rec *prev, *next;
  SEARCH_KEY_tag cursor;
  EXPECT_TRUE(t.SearchKey(R(5), &cursor, &prev, &next) == NULL);
  EXPECT_TRUE(prev == NULL);
  EXPECT_EQ(next->key, 10u);
  EXPECT_TRUE(cursor.m_pContainer == NULL);
  EXPECT_TRUE(t.SearchKey(R(1000), NULL, &prev, &next) == NULL);
  EXPECT_EQ(prev->key, 100u);
  EXPECT_TRUE(next == NULL);
  EXPECT_TRUE(t.SearchKey(R(55), NULL, &prev, &next) == NULL);
  EXPECT_EQ(prev->key, 50u);
  EXPECT_EQ(next->key, 60u);
}

TEST(ZEPBTreeEdge, KeysCompareUnsignedWithTheTopBitSet) {
  Tree t(true);
  const uintptr_t keys[] = {kTop, 1, ~uintptr_t(0), kTop - 1, 0, kTop + 1};
  for (uintptr_t k : keys) ASSERT_EQ(t.InsertKey(R(k)), 0);
  EXPECT_EQ(Walk(t, true), (Keys{0, 1, kTop - 1, kTop, kTop + 1, ~uintptr_t(0)}));
  Rec *prev, *next;
  ASSERT_TRUE(t.SearchKey(R(kTop), NULL, &prev, &next) != NULL);
  EXPECT_EQ(prev->key, kTop - 1);
  EXPECT_EQ(next->key, kTop + 1);
  ASSERT_EQ(t.DeleteKey(R(kTop)), 0);
  EXPECT_EQ(CheckTree(t), "");
}

TEST(ZEPBTreeEdge, PointerRecordsAreKeyedByAddress) {
  ZEPBTree<const int*> t(true);
  int objects[3] = {0, 0, 0};
  const int* a = &objects[2];
  const int* b = &objects[0];
  EXPECT_EQ(t.InsertKey(a), 0);
  EXPECT_EQ(t.InsertKey(b), 0);
  ASSERT_TRUE(t.SearchKey(a) != NULL);
  EXPECT_EQ(*t.SearchKey(a), a);
  GET_KEY_tag cursor;
  EXPECT_EQ(*t.GetFirstKey(&cursor), b);  // lower address first
  EXPECT_TRUE(t.SearchKey(&objects[1]) == NULL);
}

TEST(ZEPBTreeEdge, ChangeEndsAWalkButPlainSearchDoesNot) {
  Tree t(false);
  for (uintptr_t k = 1; k <= 20; ++k) ASSERT_EQ(t.InsertKey(R(k)), 0);
  GET_KEY_tag cursor;
  ASSERT_TRUE(t.GetFirstKey(&cursor) != NULL);
  EXPECT_TRUE(t.SearchKey(R(3)) != NULL);
  EXPECT_EQ(t.GetNextKey(&cursor, false)->key, 2u);
  ASSERT_EQ(t.DeleteKey(R(3)), 0);
  EXPECT_TRUE(t.GetNextKey(&cursor, false) == NULL);
  // Rebuilding the data list for a new walk does not revive the old cursor.
  GET_KEY_tag fresh;
  ASSERT_TRUE(t.GetFirstKey(&fresh) != NULL);
  EXPECT_TRUE(t.GetNextKey(&cursor, false) == NULL);
  EXPECT_EQ(t.GetNextKey(&fresh, false)->key, 2u);
}

TEST(ZEPBTreeEdge, RecordsAreCopiesAndAllComeBack) {
  for (bool pools : {true, false}) {
    Tree t(pools);
    Rec r = R(42, 1);
    ASSERT_EQ(t.InsertKey(r), 0);
    r.payload = 2;
    EXPECT_EQ(t.SearchKey(R(42))->payload, 1u);
    for (uintptr_t k = 0; k < 5000; ++k) t.InsertKey(R(k * 7919 % 10007));
    EXPECT_EQ(CheckTree(t), "");
    t.DestroyTree();
    const BTREE_STATS_tag& st = t.GetStats();
    EXPECT_EQ(st.m_nRecNew, st.m_nRecDel);
    EXPECT_EQ(st.m_nContainerNew, st.m_nContainerDel);
    EXPECT_EQ(st.m_nDataLeafNew, st.m_nDataLeafDel);
    EXPECT_EQ(st.m_nIndexLeafNew, st.m_nIndexLeafDel);
    EXPECT_TRUE(t.GetRootNode() == NULL);
    ASSERT_EQ(t.InsertKey(R(3)), 0);
    EXPECT_EQ(Walk(t, true), (Keys{3}));
  }
}

// A tree whose record storage runs dry on demand.
class DryTree : public ZEPBTree<Rec> {
 public:
  DryTree() : ZEPBTree<Rec>(false) {}
  bool m_bDry = false;

 protected:
  void* NewRecType(const void* rec) override {
    return m_bDry ? NULL : ZEPBTree<Rec>::NewRecType(rec);
  }
};

TEST(ZEPBTreeEdge, OutOfMemoryLeavesTheTreeAsItWas) {
  DryTree t;
  t.SetAllowDuplicates(true);
  t.m_bDry = true;
  EXPECT_EQ(t.InsertKey(R(1)), -2);
  EXPECT_TRUE(t.GetRootNode() == NULL);
  t.m_bDry = false;
  for (uintptr_t k = 1; k <= 40; ++k) ASSERT_EQ(t.InsertKey(R(k)), 0);
  t.m_bDry = true;
  EXPECT_EQ(t.InsertKey(R(100)), -2);  // new key
  EXPECT_EQ(t.InsertKey(R(7)), -2);    // train append
  EXPECT_EQ(t.GetKeyCount(), 40u);
  EXPECT_TRUE(t.SearchKey(R(100)) == NULL);
  EXPECT_EQ(Walk(t, true).size(), 40u);
  EXPECT_EQ(CheckTree(t), "");
}

}  // namespace
