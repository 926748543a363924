// The frame's side of flow control and of delivery without the node-list
// lock: a socket stays paused while any counter needs it paused, command
// events carry their socket's generation, the node registry answers without
// a lock and waits for the producers inside, and the report counts the
// wake-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/lockguard.h"
#include "frame/zepframe_registry.h"
#include "net/zepthreadtcp.h"
#include "support/frame_helpers.h"

using zeptest::RecNode;
using zeptest::ServedFrame;
using zeptest::WaitFor;

namespace {
bool FCPaused(ZEPFrame* f, int sock) {
  ZEP_MTTcp* e = f->GetTCPEngine();
  ZEPLockGuard lock(e->GetEngineLock());
  TCPSocketData* rec = e->SeekSocket(sock);
  return rec != nullptr && rec->m_bFCPaused.load();
}
}  // namespace

// Two counters (two queues, or a queue's socket and command counts) pause
// one socket; the first to fall below its mark must not resume it while the
// other still needs it paused, since that one never asks again. Requests of
// another generation neither pause nor resume the record.
TEST(FrameFlowPause, ASocketStaysPausedWhileAnyCounterNeedsIt) {
  ServedFrame f;
  const int s = f->CreateUDPSocket(ZEP_SOCK_CLIENT);
  ASSERT_GE(s, 0);
  const uint32_t g = f->GetSocketGeneration(s);
  ASSERT_NE(0u, g);
  struct Step {
    uint32_t gen;
    bool pause;
    int rc;
    bool pausedAfter;
  };
  const Step steps[] = {
      {g, true, 0, true},        // A pauses
      {g, true, 0, true},        // B pauses
      {g + 1, true, -1, true},   // a socket that had the number before
      {g, false, 0, true},       // A resumes: B still holds it
      {g + 1, false, -1, true},  // the old socket's resume is not B's
      {g, false, 0, false},      // B resumes: free
      {g, false, -1, false},     // a resume nobody paused for changes nothing
      {g, true, 0, true},        // and the count starts afresh
      {g, false, 0, false},
  };
  int i = 0;
  for (const Step& st : steps) {
    SCOPED_TRACE(i++);
    EXPECT_EQ(st.rc, f->SetFCPaused(s, st.gen, st.pause));
    EXPECT_EQ(st.pausedAfter, FCPaused(f.frame, s));
  }
  f->GetTCPEngine()->ClearNode(s, true);
}

// A command event names its socket's record, so its flow control cannot
// reach a newer socket that got the same descriptor number.
TEST(FrameFlowPause, CommandEventsCarryTheirSocketsGeneration) {
  ServedFrame f;
  const int s = f->CreateUDPSocket(ZEP_SOCK_CLIENT);
  ASSERT_GE(s, 0);
  SmartPtr<CCmdEvent> ev(f->AllocCmdEvent(nullptr, s));
  ASSERT_NE(nullptr, ev.Get());
  EXPECT_EQ(f->GetSocketGeneration(s), ev->GetGeneration());
  EXPECT_NE(0u, ev->GetGeneration());
  SmartPtr<CCmdEvent> none(f->AllocCmdEvent(nullptr, -1));
  EXPECT_EQ(0u, none->GetGeneration());
  f->GetTCPEngine()->ClearNode(s, true);
}

// The registry's answers, through growth and removal marks: an address is
// listed once, found until removed, and a removal leaves the others found.
TEST(NodeRegistry, ListsAddressesThroughGrowthAndRemovals) {
  ZEPNodeRegistry r;
  std::vector<char> objects(1000);
  auto at = [&](int i) { return static_cast<const void*>(&objects[i]); };
  EXPECT_FALSE(r.Contains(at(0)));
  EXPECT_FALSE(r.Remove(at(0)));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(r.Insert(at(i)));
  EXPECT_FALSE(r.Insert(at(500)));
  EXPECT_EQ(1000u, r.Count());
  for (int i = 0; i < 1000; i += 2) ASSERT_TRUE(r.Remove(at(i)));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(i % 2 == 1, r.Contains(at(i))) << i;
  // Reinserting over the removal marks, then more growth.
  for (int i = 0; i < 1000; i += 2) ASSERT_TRUE(r.Insert(at(i)));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(r.Contains(at(i))) << i;
  EXPECT_FALSE(r.Contains(nullptr));
  EXPECT_FALSE(r.Insert(nullptr));
}

// The grace period: a remover's wait returns only after every producer that
// had entered has left.
TEST(NodeRegistry, WaitForReadersOutlastsAProducerInside) {
  ZEPNodeRegistry r;
  std::atomic<bool> left{false};
  std::atomic<bool> entered{false};
  std::thread producer([&] {
    const unsigned t = r.Enter();
    entered.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    left.store(true);
    r.Leave(t);
  });
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  r.WaitForReaders();
  EXPECT_TRUE(left.load());
  producer.join();
  // With nobody inside it returns at once, whichever parity is current.
  r.WaitForReaders();
  r.WaitForReaders();
}

// The full report says how often node workers were woken through the system
// against the events they received, right after the flood counts, then how
// often socket threads were woken through their descriptors.
TEST(FrameReport, WakeUpsAgainstEventsReceived) {
  ServedFrame f;
  RecNode* node = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(node, true));
  for (int i = 0; i < 50; ++i) {
    SmartPtr<CUserEvent> ev(f->AllocUserEvent());
    f->Enqueue(node, ev.Get(), true, false);
  }
  ASSERT_TRUE(WaitFor([&] { return node->received.load() == 50; }));
  ZEPString out;
  f->PrintBTree(out);
  const std::string t = out.GetSafeText();
  const size_t at = t.find("\r\nFlood Events        Count:");
  ASSERT_NE(std::string::npos, at) << t;
  const size_t line = t.find("\r\nQueue Wake-ups      Count:", at);
  ASSERT_NE(std::string::npos, line) << t;
  unsigned long wakes = 0, events = 0;
  ASSERT_EQ(2, std::sscanf(t.c_str() + line, "\r\nQueue Wake-ups      Count:%lu (%lu events)\r\n",
                           &wakes, &events))
      << t;
  EXPECT_GE(events, 50ul);
  EXPECT_LE(wakes, events);
  unsigned long socketWakes = 0;
  const size_t sockets = t.find("\r\nSocket Wake-ups     Count:", line);
  ASSERT_NE(std::string::npos, sockets) << t;
  ASSERT_EQ(1, std::sscanf(t.c_str() + sockets, "\r\nSocket Wake-ups     Count:%lu", &socketWakes));
  EXPECT_EQ(f->GetSocketWakeups(), socketWakes);  // no socket here: nothing moved it
}
