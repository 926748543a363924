#include <gtest/gtest.h>

#include <vector>

#include "frame/zepframe.h"
#include "support/frame_helpers.h"

using zeptest::RecNode;
using zeptest::ServedFrame;
using zeptest::WaitFor;

TEST(Timer, CountedTimersFireThatOftenAndAreGone) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  TimeEvent_tag* once = f->AddTicker(node, 20, 1, 0);
  TimeEvent_tag* thrice = f->AddTicker(node, 20, 3, 0);
  ASSERT_NE(nullptr, once);
  ASSERT_NE(nullptr, thrice);
  EXPECT_EQ(2, f->GetTickerCount());
  ASSERT_TRUE(WaitFor([&] { return f->GetTickerCount() == 0; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return node->received.load() == 4; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Each tick names the record address AddTicker returned.
  EXPECT_EQ(1u, node->TickCount(once));
  EXPECT_EQ(3u, node->TickCount(thrice));
  EXPECT_EQ(4, node->received.load());
}

TEST(Timer, AddTickerRefusesStaleUnregisteredOrQuittingNodes) {
  std::atomic<int> destroyed{0};
  ServedFrame f;
  RecNode* node = new RecNode(f.frame, &destroyed);
  RecNode outsider(f.frame);
  std::atomic<int> tickersAtDestroy{-1};
  node->onDestroy = [&] { tickersAtDestroy.store(f->GetTickerCount()); };
  EXPECT_EQ(nullptr, f->AddTicker(&outsider, 10, 1, 0));
  ASSERT_EQ(0, f->AddNode(node, true));
  EXPECT_EQ(nullptr, f->AddTicker(node, 10, 1, node->GetAppID() + 1));
  TimeEvent_tag* id = f->AddTicker(node, 60000, -1, node->GetAppID());
  ASSERT_NE(nullptr, id);
  f->DelTicker(id);
  EXPECT_EQ(0, f->GetTickerCount());

  // A quitting node loses all its timers before the frame destroys it, and
  // may get no new ones.
  f->AddTicker(node, 60000, -1, 0);
  f->AddTicker(node, 60000, 5, 0);
  EXPECT_EQ(2, f->GetTickerCount());
  std::atomic<bool> addedWhileQuitting{true};
  // Our own reference: the ticker destroys a quitting node as soon as it
  // has quit, and the test still asks the frame about it afterwards.
  SmartPtr<RecNode> hold(node);
  node->leaveOnNext.store(true);
  SmartPtr<CUserEvent> ev(f->AllocUserEvent());
  ASSERT_TRUE(f->Enqueue(node, ev.Get(), true, false));
  ASSERT_TRUE(WaitFor([&] { return node->IsQuiting(); }, 5000));
  addedWhileQuitting.store(f->AddTicker(node, 10, 1, 0) != nullptr);
  ASSERT_TRUE(WaitFor([&] { return !f->IsNodeRegistered(node); }, 5000));
  hold.Release();
  ASSERT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  EXPECT_FALSE(addedWhileQuitting.load());
  EXPECT_EQ(0, tickersAtDestroy.load());
}

// A timer that has ended is known by its serial: deleting it touches nothing,
// not even the timer the pool gave its record to afterwards.
TEST(Timer, DeletingAnEndedTimerTouchesNothing) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  TimeEvent_tag* keep = f->AddTicker(node, 60000, -1, 0);
  uint64_t onceSerial = 0;
  TimeEvent_tag* once = f->AddTicker(node, 10, 1, 0, &onceSerial);
  ASSERT_NE(nullptr, once);
  ASSERT_NE(0u, onceSerial);
  ASSERT_TRUE(
      WaitFor([&] { return node->TickCount(once) == 1 && f->GetTickerCount() == 1; }, 5000));
  EXPECT_EQ(-1, f->DelTicker(once, onceSerial));
  f->DelTicker(once);  // its record is free: ignored
  EXPECT_EQ(1, f->GetTickerCount());

  // The lowest free record goes to the next timer: the stale id names it.
  uint64_t nextSerial = 0;
  TimeEvent_tag* next = f->AddTicker(node, 60000, -1, 0, &nextSerial);
  ASSERT_EQ(once, next);
  EXPECT_NE(onceSerial, nextSerial);
  EXPECT_EQ(-1, f->DelTicker(once, onceSerial));
  EXPECT_EQ(2, f->GetTickerCount());
  EXPECT_EQ(0, f->DelTicker(next, nextSerial));
  EXPECT_EQ(-1, f->DelTicker(next, nextSerial));
  EXPECT_EQ(1, f->GetTickerCount());
  f->DelTicker(keep);
  EXPECT_EQ(0, f->GetTickerCount());
}

// A handle names one arming: its ticks, and a deletion that leaves alone the
// later timer the pool gave the record to.
TEST(Timer, HandleNamesOneArmingOfItsRecord) {
  ServedFrame f;
  RecNode outsider(f.frame);
  ZEPTimerHandle refused = f->ArmTimer(&outsider, 10, 1);
  EXPECT_FALSE(refused.IsSet());
  EXPECT_EQ(-1, f->DisarmTimer(refused));
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  ZEPTimerHandle once = f->ArmTimer(node, 10, 1);
  ASSERT_TRUE(once.IsSet());
  const ZEPTimerHandle ended = once;
  ASSERT_TRUE(
      WaitFor([&] { return node->TickCount(ended) == 1 && f->GetTickerCount() == 0; }, 5000));
  EXPECT_EQ(-1, f->DisarmTimer(once));
  EXPECT_FALSE(once.IsSet());

  ZEPTimerHandle next = f->ArmTimer(node, 10, -1);
  ASSERT_EQ(ended.GetID(), next.GetID());  // the lowest free record
  EXPECT_NE(ended, next);
  ASSERT_TRUE(WaitFor([&] { return node->TickCount(next) >= 3; }, 5000));
  EXPECT_EQ(1u, node->TickCount(ended));
  ZEPTimerHandle stale = ended;
  EXPECT_EQ(-1, f->DisarmTimer(stale));
  EXPECT_EQ(1, f->GetTickerCount());
  EXPECT_EQ(0, f->DisarmTimer(next));
  EXPECT_FALSE(next.IsSet());
  EXPECT_EQ(0, f->GetTickerCount());
}

// While 100 ticks of one timer wait unprocessed, that timer's further ticks
// are skipped; ticks of another timer of the same node still arrive, and the
// stalled timer resumes once the node takes one tick out.
TEST(Timer, FloodedTimerIsSkippedWhileAnotherStillArrives) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  std::atomic<bool> blocked{true};
  std::atomic<bool> waiting{false};
  node->gate = [&] {
    while (blocked.load()) {
      waiting.store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  ASSERT_EQ(0, f->AddNode(node, true));
  ASSERT_TRUE(WaitFor([&] { return waiting.load(); }, 5000));
  TimeEvent_tag* fast = f->AddTicker(node, 1, -1, 0);
  ASSERT_TRUE(WaitFor([&] { return fast->IsPaused(); }, 20000));
  EXPECT_EQ(100, node->Queue().GetTimeEventCount());
  TimeEvent_tag* slow = f->AddTicker(node, 30, -1, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int queued = node->Queue().GetTimeEventCount();
  EXPECT_GE(queued, 100 + 3);  // the slow timer's ticks arrived
  EXPECT_LE(queued, 100 + 15);
  EXPECT_TRUE(fast->IsPaused());

  blocked.store(false);
  ASSERT_TRUE(WaitFor([&] { return node->TickCount(fast) > 100; }, 5000));
  EXPECT_GT(node->TickCount(slow), 0u);
  f->DelTicker(fast);
  f->DelTicker(slow);
}

// A repeating 100 ms timer ticks about ten times a second and never more than
// once a period.
TEST(Timer, RepeatingTimerTicksOncePerPeriod) {
  using std::chrono::milliseconds;
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  const auto t0 = zeptest::Clock::now();
  TimeEvent_tag* id = f->AddTicker(node, 100, -1, 0);
  ASSERT_NE(nullptr, id);
  std::this_thread::sleep_for(milliseconds(1050));
  f->DelTicker(id);
  const auto lived = std::chrono::ceil<milliseconds>(zeptest::Clock::now() - t0);
  // A marker queued behind the last tick: once the node counted it, every
  // tick has been recorded.
  SmartPtr<CUserEvent> marker(f->AllocUserEvent());
  ASSERT_TRUE(f->Enqueue(node, marker.Get(), true, false));
  marker.Release();
  ASSERT_TRUE(WaitFor(
      [&] { return node->received.load() == static_cast<int>(node->TickCount(id)) + 1; }, 5000));
  const size_t n = node->TickCount(id);
  // The timer lived less than `lived`, and each tick comes 100 whole clock
  // milliseconds (so more than 99 ms) after the previous one: a timer that
  // fires early shows here. Ticks a busy machine made late are not made up,
  // so the lower bound leaves room for a few.
  EXPECT_LE(n, static_cast<size_t>(lived.count() / 99));
  EXPECT_GE(n, 6u);
  // Ticks are stamped when the node handles them, so a worker delayed on a
  // busy machine shortens one gap and lengthens the next: only the mean gap
  // over the run tells the period.
  auto ticks = node->Ticks();
  ASSERT_GE(ticks.size(), 2u);
  const auto mean = (ticks.back().at - ticks.front().at) / static_cast<int>(ticks.size() - 1);
  EXPECT_GE(mean, milliseconds(60));
  EXPECT_LE(mean, milliseconds(250));
}

// Deleted timers leave their deadlines behind: none of them may fire the
// timer that got its record afterwards, and a pile of them (rebuilt away)
// costs the live timers nothing.
TEST(Timer, DeadlinesOfDeletedTimersFireNothing) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  TimeEvent_tag* fast = f->AddTicker(node, 20, -1, 0);
  f->DelTicker(fast);
  // The lowest free record again: the slot of a timer due in 20 ms.
  TimeEvent_tag* slow = f->AddTicker(node, 60000, -1, 0);
  ASSERT_EQ(fast, slow);
  std::vector<TimeEvent_tag*> pile;
  for (int i = 0; i < 300; ++i) pile.push_back(f->AddTicker(node, 20, -1, 0));
  for (TimeEvent_tag* id : pile) f->DelTicker(id);
  TimeEvent_tag* counted = f->AddTicker(node, 10, 3, 0);
  ASSERT_TRUE(WaitFor([&] { return node->TickCount(counted) == 3; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(0u, node->TickCount(slow)) << "a deleted timer's deadline fired its slot's new timer";
  EXPECT_EQ(3, node->received.load());
  EXPECT_EQ(1, f->GetTickerCount());
  f->DelTicker(slow);
}

// A node given a new incarnation (a new application id) gets no tick of the
// timers its old incarnation set: the frame drops them at delivery, while a
// timer set for the new incarnation ticks on.
TEST(Timer, TicksOfAnOldIncarnationAreDropped) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  // Not started: only a node that does not run yet may be initialised again.
  ASSERT_EQ(0, f->AddNode(node, false));
  const auto t0 = zeptest::Clock::now();
  TimeEvent_tag* old = f->AddTicker(node, 200, -1, 0);
  ASSERT_NE(nullptr, old);
  const uint32_t oldID = node->GetAppID();
  node->Init(false, f.frame);
  const auto reinitAfter = zeptest::Clock::now() - t0;
  ASSERT_NE(oldID, node->GetAppID());
  TimeEvent_tag* fresh = f->AddTicker(node, 20, -1, 0);
  ASSERT_NE(nullptr, fresh);
  f->StartService(node);
  // Some 700 ms: the old timer fell due three times meanwhile.
  ASSERT_TRUE(WaitFor([&] { return node->TickCount(fresh) >= 35; }, 10000));
  if (reinitAfter < std::chrono::milliseconds(150)) {
    EXPECT_EQ(0u, node->TickCount(old));
  }  // else the machine stalled us past the first tick of the old timer
  EXPECT_EQ(2, f->GetTickerCount());  // the dropped ticks did not end the timer
  f->DelTicker(old);
  f->DelTicker(fresh);
}

// The ticker wakes for due timers only: an idle frame, or one whose only
// timer is a minute away, makes next to no passes. A zero period fires on
// every pass, once a pass, and passes stay at least a millisecond apart, so
// it cannot make the ticker spin (a spinning ticker makes hundreds of
// thousands of passes in the window).
TEST(Timer, TickerPassesFollowTheDueTimers) {
  struct Case {
    const char* name;
    long intervalMs;  // < 0: no timer
    long count;
    uint64_t maxPasses;
    size_t minTicks, maxTicks;
  };
  const Case cases[] = {
      {"no timer", -1, 0, 3, 0, 0},
      {"a timer a minute away", 60000, -1, 3, 0, 0},
      {"zero period, repeating", 0, -1, 2000, 20, SIZE_MAX},
      {"zero period, five times", 0, 5, 2000, 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServedFrame f;
    RecNode* node = new RecNode(f.frame);
    ASSERT_EQ(0, f->AddNode(node, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the start's passes are over
    const uint64_t p0 = f->GetTickerPasses();
    TimeEvent_tag* id = nullptr;
    if (c.intervalMs >= 0)
      id = f->AddTicker(node, static_cast<unsigned long>(c.intervalMs), c.count, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (id != nullptr && c.count < 0) f->DelTicker(id);
    const uint64_t passes = f->GetTickerPasses() - p0;
    // A marker behind the last tick: once it is counted, every tick is.
    SmartPtr<CUserEvent> marker(f->AllocUserEvent());
    ASSERT_TRUE(f->Enqueue(node, marker.Get(), true, false));
    marker.Release();
    ASSERT_TRUE(WaitFor(
        [&] { return node->received.load() == static_cast<int>(node->TickCount(id)) + 1; }, 5000));
    const size_t ticks = node->TickCount(id);
    EXPECT_LE(passes, c.maxPasses);
    EXPECT_GE(ticks, c.minTicks);
    EXPECT_LE(ticks, c.maxTicks);
    EXPECT_LE(ticks, passes) << "more than one tick of a timer in one pass";
    EXPECT_EQ(0, f->GetTickerCount());
  }
}

// Ticks falling due in one pass reach each node in due order, however the
// timers of several nodes interleave.
TEST(Timer, EachNodeGetsItsTicksInDueOrder) {
  ServedFrame f;
  RecNode* nodes[2] = {new RecNode(f.frame), new RecNode(f.frame)};
  for (RecNode* n : nodes) ASSERT_EQ(0, f->AddNode(n, true));
  std::vector<TimeEvent_tag*> ids[2];
  // One-shots added within a few microseconds: most fall due in one pass.
  for (int i = 0; i < 40; ++i) {
    RecNode* n = nodes[i % 2];
    TimeEvent_tag* id = f->AddTicker(n, 30, 1, 0);
    ASSERT_NE(nullptr, id);
    ids[i % 2].push_back(id);
  }
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(WaitFor([&] { return nodes[k]->received.load() == 20; }, 5000));
    std::vector<TimeEvent_tag*> order;
    for (const zeptest::Tick& t : nodes[k]->Ticks()) order.push_back(t.id);
    EXPECT_EQ(ids[k], order) << "node " << k;
  }
  EXPECT_EQ(0, f->GetTickerCount());
}
