#include "base/zeptlist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <list>
#include <random>
#include <thread>
#include <vector>

namespace {

// A counted object that records its own end.
struct Counted : RefCount {
  explicit Counted(int* destroyed) : m_pDestroyed(destroyed) {}
  void DestroyMe() override {
    ++*m_pDestroyed;
    delete this;
  }
  int* m_pDestroyed;
};

struct Element {
  explicit Element(int* deleted) : m_pDeleted(deleted) {}
  ~Element() { ++*m_pDeleted; }
  int* m_pDeleted;
};

// ---- RefCount and SmartPtr ----

TEST(RefCountTest, DropToZeroDestroysOnce) {
  int destroyed = 0;
  Counted* c = new Counted(&destroyed);
  EXPECT_EQ(c->GetRefCount(), 0);
  c->upcount();
  c->upcount();
  c->downcount();
  EXPECT_EQ(destroyed, 0);
  c->downcount();
  EXPECT_EQ(destroyed, 1);
}

TEST(RefCountTest, ConcurrentCountingDestroysExactlyOnce) {
  for (int round = 0; round < 20; ++round) {
    int destroyed = 0;
    Counted* c = new Counted(&destroyed);
    c->upcount();  // the test's own reference
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([c] {
        for (int i = 0; i < 2000; ++i) {
          c->upcount();
          c->downcount();
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(c->GetRefCount(), 1);
    // Last references dropped from two threads at once: only one destroys.
    c->upcount();
    std::thread other([c] { c->downcount(); });
    c->downcount();
    other.join();
    ASSERT_EQ(destroyed, 1) << "round " << round;
  }
}

TEST(SmartPtrTest, CountingHolderKeepsObjectAlive) {
  int destroyed = 0;
  Counted* c = new Counted(&destroyed);
  {
    SmartPtr<Counted> a(c);
    SmartPtr<Counted> b(a);
    EXPECT_EQ(c->GetRefCount(), 2);
    b = c;  // same object: still one reference for b
    EXPECT_EQ(c->GetRefCount(), 2);
    a.Release();
    EXPECT_TRUE(a.IsNull());
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1) << "an object taken at count 0 and dropped ends";
}

TEST(SmartPtrTest, NonCountingHolderTakesOverAReference) {
  int destroyed = 0;
  Counted* c = new Counted(&destroyed);
  c->upcount();  // e.g. a queue's reference
  {
    SmartPtr<Counted> current;
    current.SetCounting(false);
    current = c;
    EXPECT_EQ(c->GetRefCount(), 1);
  }
  EXPECT_EQ(destroyed, 0) << "a non-counting holder drops nothing";
  SmartPtr<Counted> owner(c);
  EXPECT_EQ(c->GetRefCount(), 2);
  Counted* raw = owner.Detach();
  EXPECT_EQ(raw, c);
  EXPECT_EQ(c->GetRefCount(), 2) << "Detach hands the reference to the caller";
  c->downcount();
  c->downcount();
  EXPECT_EQ(destroyed, 1);
}

// ---- The list's own edge cases ----

class ZepTlistModes : public ::testing::TestWithParam<bool> {};

TEST_P(ZepTlistModes, RemoveAtCursorKeepsNodeUntilCursorMoves) {
  int a = 1, b = 2;
  ZEPTlist list;
  list.SetUsePool(GetParam());
  list.AddTail(&a);
  list.AddTail(&b);
  SmartPtr<CListNode> cursor;
  EXPECT_EQ(list.GetFirst(&cursor), &a);
  EXPECT_EQ(list.RemoveAtCursor(&cursor), &a);
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetNodeCount(), 2) << "a's node stays while the cursor is on it";
  EXPECT_EQ(list.RemoveAtCursor(&cursor), nullptr) << "already removed";
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetNext(&cursor), &b);
  EXPECT_EQ(list.GetNodeCount(), 1) << "a's node left when the cursor moved on";
  EXPECT_EQ(list.GetNext(&cursor), nullptr);
  EXPECT_TRUE(cursor.IsNull());
}

TEST_P(ZepTlistModes, RemoveHeadSkipsDeadFirstNode) {
  int a = 1, b = 2, c = 3;
  ZEPTlist list;
  list.SetUsePool(GetParam());
  list.AddTail(&a);
  list.AddTail(&b);
  list.AddTail(&c);
  SmartPtr<CListNode> cursor;
  list.GetFirst(&cursor);
  list.RemoveAtCursor(&cursor);
  EXPECT_EQ(list.GetHead(), &b);
  EXPECT_EQ(list.RemoveHead(), &b);
  EXPECT_EQ(list.RemoveTail(), &c);
  EXPECT_EQ(list.RemoveTail(), nullptr) << "the dead node holds no element";
  EXPECT_EQ(list.GetCount(), 0);
  cursor.Release();
  EXPECT_EQ(list.GetNodeCount(), 0);
  EXPECT_EQ(list.GetHead(), nullptr);
  EXPECT_EQ(list.GetTail(), nullptr);
}

TEST_P(ZepTlistModes, EmptyListAndNullData) {
  int a = 1;
  ZEPTlist list;
  list.SetUsePool(GetParam());
  SmartPtr<CListNode> cursor;
  EXPECT_EQ(list.GetFirst(&cursor), nullptr);
  EXPECT_TRUE(cursor.IsNull());
  EXPECT_EQ(list.GetNext(&cursor), nullptr);
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(list.AddTail(nullptr), -1);
  EXPECT_EQ(list.AddHead(nullptr), -1);
  EXPECT_EQ(list.GetCount(), 0);
  list.AddHead(&a);
  EXPECT_EQ(list.RemoveNode(nullptr), nullptr);
  EXPECT_FALSE(list.SearchNode(nullptr));
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_TRUE(list.SearchNode(&a));
  EXPECT_EQ(list.RemoveNode(&a), &a);
  EXPECT_EQ(list.RemoveNode(&a), nullptr);
  EXPECT_FALSE(list.SearchNode(&a));
}

TEST_P(ZepTlistModes, CursorOfAnotherListIsRefused) {
  int a = 1, b = 2;
  ZEPTlist one, two;
  one.SetUsePool(GetParam());
  one.AddTail(&a);
  two.AddTail(&b);
  SmartPtr<CListNode> cursor;
  one.GetFirst(&cursor);
  EXPECT_EQ(two.RemoveAtCursor(&cursor), nullptr);
  EXPECT_EQ(two.GetNext(&cursor), nullptr);
  EXPECT_TRUE(cursor.IsNull());
  EXPECT_EQ(one.GetCount(), 1);
  EXPECT_EQ(two.GetCount(), 1);
}

TEST_P(ZepTlistModes, CursorMayOutliveItsList) {
  int a = 1, b = 2;
  SmartPtr<CListNode> onLive, onDead;
  {
    ZEPTlist list;
    list.SetUsePool(GetParam());
    list.AddTail(&a);
    list.AddTail(&b);
    list.GetFirst(&onDead);
    list.RemoveAtCursor(&onDead);
    list.GetFirst(&onLive);
  }
  // The nodes are detached; the cursors free them (and the node pool) when
  // they let go. The sanitizer build checks that nothing is touched twice.
  EXPECT_EQ(onLive->GetOwner(), nullptr);
  EXPECT_EQ(onLive->GetData(), nullptr);
  onLive.Release();
  onDead.Release();
}

TEST_P(ZepTlistModes, TypedListDeletesItsElements) {
  int deleted = 0;
  {
    ZEPList<Element> list;
    list.SetUsePool(GetParam());
    list.AddTail(new Element(&deleted));
    list.AddHead(new Element(&deleted));
    Element* taken = list.RemoveTail();
    delete taken;
    EXPECT_EQ(deleted, 1) << "a removed element belongs to the caller";
    list.AddTail(new Element(&deleted));
  }
  EXPECT_EQ(deleted, 3);
}

INSTANTIATE_TEST_SUITE_P(HeapAndPool, ZepTlistModes, ::testing::Bool());

TEST(ZepTlistDeathTest, NodeReleasedWithDataIsFatal) {
  int a = 1;
  EXPECT_DEATH(
      {
        ZEPTlist list;
        list.AddTail(&a);
        SmartPtr<CListNode> cursor;
        list.GetFirst(&cursor);
        cursor->downcount();  // a stray drop of the list's reference
        cursor.Release();
      },
      "Assertion failed: m_pData == NULL, unit zeptlist");
}

// ---- Differential test against std::list ----

// The model keeps every node that is still linked: live ones and removed
// ones held by a cursor, so the node count is checked too.
struct ModelNode {
  int* data;
  bool alive;
  int cursors;
};
using Model = std::list<ModelNode>;

class ListOracle {
 public:
  ListOracle(ZEPTlist* list, int cursors) : m_list(list), m_pos(cursors, m_model.end()) {
    m_cur.resize(cursors);
  }

  // grow: tilt towards adding, so that the list also gets long.
  void Step(std::mt19937& rng, int* fresh, bool grow) {
    int c = rng() % m_cur.size();
    switch (grow && rng() % 3 == 0 ? 0 : rng() % 12) {
      case 0:
      case 1:
        ASSERT_EQ(m_list->AddTail(fresh), 0);
        m_model.push_back({fresh, true, 0});
        break;
      case 2:
        ASSERT_EQ(m_list->AddHead(fresh), 0);
        m_model.push_front({fresh, true, 0});
        break;
      case 3: {
        auto it = FirstLive();
        ASSERT_EQ(m_list->RemoveHead(), it == m_model.end() ? nullptr : it->data);
        if (it != m_model.end()) Kill(it);
        break;
      }
      case 4: {
        auto it = LastLive();
        ASSERT_EQ(m_list->RemoveTail(), it == m_model.end() ? nullptr : it->data);
        if (it != m_model.end()) Kill(it);
        break;
      }
      case 5: {
        auto it = FirstLive();
        ASSERT_EQ(m_list->GetFirst(&m_cur[c]), it == m_model.end() ? nullptr : it->data);
        MoveCursor(c, it);
        break;
      }
      case 6:
      case 7:
      case 8: {
        auto it = m_pos[c];
        if (it != m_model.end()) {
          do ++it;
          while (it != m_model.end() && !it->alive);
        }
        ASSERT_EQ(m_list->GetNext(&m_cur[c]), it == m_model.end() ? nullptr : it->data);
        MoveCursor(c, it);
        break;
      }
      case 9:
      case 10: {
        auto it = m_pos[c];
        bool live = it != m_model.end() && it->alive;
        ASSERT_EQ(m_list->RemoveAtCursor(&m_cur[c]), live ? it->data : nullptr);
        if (live) Kill(it);
        break;
      }
      case 11: {
        // Any element ever seen, live or not.
        if (m_model.empty()) break;
        auto it = std::next(m_model.begin(), rng() % m_model.size());
        int* data = it->data;
        auto live = m_model.begin();
        while (live != m_model.end() && !(live->alive && live->data == data)) ++live;
        ASSERT_EQ(m_list->SearchNode(data), live != m_model.end());
        ASSERT_EQ(m_list->RemoveNode(data), live != m_model.end() ? data : nullptr);
        if (live != m_model.end()) Kill(live);
        break;
      }
    }
    Check();
  }

  void Check() {
    int alive = 0;
    for (auto& n : m_model) alive += n.alive;
    ASSERT_EQ(m_list->GetCount(), alive);
    ASSERT_EQ(m_list->GetNodeCount(), static_cast<int>(m_model.size()));
    auto first = FirstLive();
    auto last = LastLive();
    ASSERT_EQ(m_list->GetHead(), first == m_model.end() ? nullptr : first->data);
    ASSERT_EQ(m_list->GetTail(), last == m_model.end() ? nullptr : last->data);
  }

  void FullWalk() {
    SmartPtr<CListNode> walker;
    auto it = FirstLive();
    for (void* p = m_list->GetFirst(&walker); p != nullptr; p = m_list->GetNext(&walker)) {
      ASSERT_NE(it, m_model.end());
      ASSERT_EQ(p, it->data);
      do ++it;
      while (it != m_model.end() && !it->alive);
    }
    ASSERT_EQ(it, m_model.end());
  }

  void ReleaseCursors() {
    for (size_t c = 0; c < m_cur.size(); ++c) {
      m_cur[c].Release();
      MoveCursor(c, m_model.end());
    }
    Check();
  }

 private:
  Model::iterator FirstLive() {
    auto it = m_model.begin();
    while (it != m_model.end() && !it->alive) ++it;
    return it;
  }
  Model::iterator LastLive() {
    for (auto it = m_model.rbegin(); it != m_model.rend(); ++it)
      if (it->alive) return std::prev(it.base());
    return m_model.end();
  }
  void Kill(Model::iterator it) {
    it->alive = false;
    if (it->cursors == 0) m_model.erase(it);
  }
  // Takes the new position before leaving the old one, as the cursor does.
  void MoveCursor(size_t c, Model::iterator to) {
    if (to != m_model.end()) ++to->cursors;
    auto from = m_pos[c];
    m_pos[c] = to;
    if (from != m_model.end() && --from->cursors == 0 && !from->alive) m_model.erase(from);
  }

  ZEPTlist* m_list;
  Model m_model;
  std::vector<SmartPtr<CListNode>> m_cur;
  std::vector<Model::iterator> m_pos;
};

TEST(ZepTlistOracleTest, RandomOperationsWithCursorsMatchStdList) {
  static int storage[200000];
  int next = 0;
  for (bool pooled : {false, true}) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
      ZEPTlist list;
      list.SetUsePool(pooled);
      ListOracle oracle(&list, 4);
      std::mt19937 rng(seed);
      for (int step = 0; step < 15000; ++step) {
        ASSERT_NO_FATAL_FAILURE(oracle.Step(rng, &storage[next++ % 200000], step % 5000 < 1000))
            << "pooled " << pooled << " seed " << seed << " step " << step;
        if (step % 500 == 0) {
          ASSERT_NO_FATAL_FAILURE(oracle.FullWalk());
        }
      }
      oracle.ReleaseCursors();
      ASSERT_NO_FATAL_FAILURE(oracle.FullWalk());
    }
  }
}

}  // namespace
