// Socket generations and wake-ups: a descriptor number reused by a new socket
// never receives what belonged to the old one, and the threads that sleep
// without a time-out (socket threads, the service loop) are woken by every
// change they must act on. A missing wake-up shows as a wait that never ends,
// so every wait below is bounded and would fail rather than hang.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "base/lockguard.h"
#include "frame/zepframe.h"
#include "net/zepmttcp.h"
#include "support/frame_helpers.h"
#include "support/nettest_util.h"

using nettest::WaitFor;
using zeptest::RecNode;
using zeptest::ServedFrame;

namespace {

const ZEPString kLoopback("127.0.0.1");

// A UDP server socket of the frame on an ephemeral loopback port.
int FrameUdp(ZEPFrame* f) { return f->CreateServer(kLoopback, ZEPString("0"), ZEP_PROTO_UDP); }

// Opens frame sockets until one gets `want` as its number (the system hands
// out the lowest free one, so that is normally the first); the others are
// closed again. -1 when none did.
int ReuseNumber(ZEPFrame* f, int want) {
  std::vector<int> others;
  int got = -1;
  for (int i = 0; i < 16 && got < 0; ++i) {
    int s = FrameUdp(f);
    if (s == want)
      got = s;
    else if (s >= 0)
      others.push_back(s);
  }
  for (int s : others) f->ClearNode(s, true);
  return got;
}

// A started node attached to a new frame UDP socket; sock -1 on failure.
struct Attached {
  RecNode* node;
  int sock;
};
Attached AttachNewUdp(ServedFrame& f) {
  RecNode* n = new RecNode(f.frame);
  int s = f->AddNode(n, true) == 0 ? FrameUdp(f.frame) : -1;
  if (s >= 0 && f->AddTCPEvent(n, s, 0) != 0) s = -1;
  return {n, s};
}

void SendTo(int port, const std::string& text) {
  int s = nettest::BoundUdp();
  sockaddr_in to = nettest::Loopback(port);
  sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(s);
}

}  // namespace

TEST(SocketGeneration, EngineRecordsOfAReusedNumberTellApartAndPausesGoByGeneration) {
  ZEP_MTTcp e;
  int s1 = e.CreateUDPSocket(ZEP_SOCK_CLIENT);
  ASSERT_GE(s1, 0);
  uint32_t g1 = e.GetGeneration(s1);
  EXPECT_NE(0u, g1);
  e.ClearNode(s1, true);
  EXPECT_EQ(0u, e.GetGeneration(s1));
  int s2 = e.CreateUDPSocket(ZEP_SOCK_CLIENT);
  ASSERT_EQ(s1, s2) << "the system did not reuse the number";
  uint32_t g2 = e.GetGeneration(s2);
  EXPECT_NE(g1, g2);

  ZEPLockGuard guard(e.GetEngineLock());
  TCPSocketData* rec = e.SeekSocket(s2);
  ASSERT_NE(nullptr, rec);
  // A pause counted for the old socket leaves the new one alone...
  EXPECT_EQ(-1, e.SetFCPaused(s2, g1, true));
  EXPECT_FALSE(rec->m_bFCPaused.load());
  // ...its own pause and resume work, and generation 0 means "whichever".
  EXPECT_EQ(0, e.SetFCPaused(s2, g2, true));
  EXPECT_TRUE(rec->m_bFCPaused.load());
  EXPECT_EQ(-1, e.SetFCPaused(s2, g1, false));
  EXPECT_TRUE(rec->m_bFCPaused.load());
  EXPECT_EQ(0, e.SetFCPaused(s2, false));
  EXPECT_FALSE(rec->m_bFCPaused.load());
}

TEST(SocketGeneration, ForcedReuseRoutesOnlyTheNewSocketsEventsToItsNewNode) {
  ServedFrame f;
  RecNode* a = new RecNode(f.frame);
  RecNode* b = new RecNode(f.frame);
  ASSERT_EQ(0, f->AddNode(a, true));
  ASSERT_EQ(0, f->AddNode(b, true));

  int s1 = FrameUdp(f.frame);
  ASSERT_GE(s1, 0);
  uint32_t g1 = f->GetSocketGeneration(s1);
  ASSERT_EQ(0, f->AddTCPEvent(a, s1, 0));
  // Closed behind the frame's back: the engine drops it, the maps still
  // list node a for that number.
  f->GetTCPEngine()->ClearNode(s1, true);
  ASSERT_TRUE(WaitFor([&] { return f->GetSocketGeneration(s1) == 0; }));
  int s2 = ReuseNumber(f.frame, s1);
  ASSERT_EQ(s1, s2) << "the system did not reuse the number";
  uint32_t g2 = f->GetSocketGeneration(s2);
  ASSERT_NE(g1, g2);

  ASSERT_EQ(0, f->AddTCPEvent(b, s2, 0));
  EXPECT_EQ(0, f->GetNodeSocketCount(a)) << "node a still attached to the new socket";
  EXPECT_EQ(1, f->GetSocketNodeCount(s2));

  // A late event of the old socket reaches no one; one made by hand
  // (generation 0) or of the new socket reaches b.
  SmartPtr<CTCPEvent> late(f->AllocTCPEvent());
  late->SetSocket(s1);
  late->SetGeneration(g1);
  late->SetRC(ZEP_TCP_DATA);
  EXPECT_FALSE(f->EnqueueTCP(late.Get(), s1));

  int port = nettest::LocalPort(s2);
  SendTo(port, "fresh");
  ASSERT_TRUE(WaitFor([&] { return b->received.load() >= 1; }));
  EXPECT_EQ(0, a->received.load());
  f->DelTCPEvent(b, s2, true);
}

TEST(SocketWakeups, ResumeWakesAPausedSocketThreadThatHasNoTimeOut) {
  ServedFrame f;
  auto [n, s] = AttachNewUdp(f);
  ASSERT_GE(s, 0);
  ASSERT_EQ(0, f->SetPaused(s, true));
  SendTo(nettest::LocalPort(s), "held");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(0, n->received.load());
  ASSERT_EQ(0, f->SetPaused(s, false));
  EXPECT_TRUE(WaitFor([&] { return n->received.load() == 1; }));

  // Closing the started socket wakes its thread, which ends the record.
  f->DelTCPEvent(n, s, true);
  EXPECT_TRUE(WaitFor([&] { return f->GetSocketGeneration(s) == 0; }));
}

TEST(SocketWakeups, TimeToDieSetWhileTheServiceLoopSleepsStillEndsTheSocket) {
  ServedFrame f;
  auto [n, s] = AttachNewUdp(f);  // started: no start time-out left
  ASSERT_GE(s, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the loop sleeps with no deadline
  ASSERT_EQ(0, f->SetTime2Die(s, static_cast<long>(time(nullptr)) + 1));
  EXPECT_TRUE(WaitFor([&] { return f->GetSocketGeneration(s) == 0; }));
  f->DelTCPEvent(n, s, true);
}
