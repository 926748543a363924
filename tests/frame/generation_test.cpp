// Socket generations and wake-ups: a descriptor number reused by a new socket
// never receives what belonged to the old one, and the threads that sleep
// without a time-out (socket threads, the service loop) are woken by every
// change they must act on. A missing wake-up shows as a wait that never ends,
// so every wait below is bounded and would fail rather than hang.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
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

// Writes `fill` bytes to a plain socket on a thread of its own until `limit`
// bytes went out (0: until stopped) or the peer is gone.
class Pump {
 public:
  Pump(int sock, char fill, size_t limit) : m_nSock(sock) {
    m_Thread = std::thread([this, fill, limit] {
      std::string chunk(1024, fill);
      size_t sent = 0;
      while (!m_bStop.load() && (limit == 0 || sent < limit)) {
        size_t want = limit == 0 ? chunk.size() : std::min(chunk.size(), limit - sent);
        ssize_t n = send(m_nSock, chunk.data(), want, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
          break;
        }
      }
    });
  }
  ~Pump() {
    m_bStop = true;
    m_Thread.join();
    close(m_nSock);
  }

 private:
  int m_nSock;
  std::atomic<bool> m_bStop{false};
  std::thread m_Thread;
};

// What a node took from the socket it owns: the bytes of its own fill and
// the events that were not its socket's (another generation, another fill).
struct Owner {
  RecNode* node;
  std::atomic<uint32_t> generation{0};
  std::atomic<size_t> bytes{0};
  std::atomic<int> foreign{0};
  Owner(ZEPFrame* f, char fill) : node(new RecNode(f)) {
    node->handler = [this, fill](CEvent* e) {
      CTCPEvent* t = CTCPEvent::Narrow(e);
      if (t == nullptr) return false;
      if (t->GetGeneration() != generation.load()) foreign.fetch_add(1);
      if (t->IsTcpData()) {
        for (int i = 0; i < t->GetRecvSize(); ++i)
          if (t->GetBuffer()[i] != fill) foreign.fetch_add(1);
        bytes.fetch_add(static_cast<size_t>(t->GetRecvSize()));
      }
      return false;
    };
  }
};

// A frame TCP client connected to `listener` (non-blocking) and the plain
// socket accepted for it; the client is -1 on failure.
std::pair<int, int> FrameClient(ZEPFrame* f, int listener) {
  int s = f->CreateClient(
      kLoopback, ZEPString(std::to_string(nettest::LocalPort(listener)).c_str()), ZEP_PROTO_TCP);
  int peer = -1;
  if (s >= 0) WaitFor([&] { return (peer = accept(listener, nullptr, nullptr)) >= 0; });
  if (peer < 0 && s >= 0) {
    f->ClearNode(s, true);
    s = -1;
  }
  return {s, peer};
}

}  // namespace

// The old socket is closed while its peer keeps writing (its thread is in
// the middle of reads), either by its node detaching with close or behind
// the frame's back with its node still attached, and a new socket gets the
// number at once. The new socket's node must get every byte of its stream
// and nothing else; the old node nothing of the new socket.
TEST(SocketGeneration, ANumberReusedWhileReadsAreInFlightKeepsEachStreamWithItsNode) {
  std::vector<std::unique_ptr<Owner>> owners;  // outlive the nodes' last events
  ServedFrame f;
  int listener = nettest::PlainListener();
  ASSERT_GE(listener, 0);
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  const size_t kNewBytes = 64 * 1024;
  const int kRounds = 8;
  int reused = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    // The last round's sockets close on their threads' time: once they are
    // gone the number the old socket frees is the lowest one free.
    ASSERT_TRUE(WaitFor([&] { return f->GetTCPEngine()->GetSocketCount() == 0; }));
    owners.emplace_back(new Owner(f.frame, 'a'));
    owners.emplace_back(new Owner(f.frame, 'b'));
    Owner& before = *owners[owners.size() - 2];
    Owner& after = *owners.back();
    ASSERT_EQ(0, f->AddNode(before.node, true));
    ASSERT_EQ(0, f->AddNode(after.node, true));

    auto [s1, peer1] = FrameClient(f.frame, listener);
    ASSERT_GE(s1, 0);
    before.generation = f->GetSocketGeneration(s1);
    ASSERT_EQ(0, f->AddTCPEvent(before.node, s1, 0));
    Pump old(peer1, 'a', 0);
    ASSERT_TRUE(WaitFor([&] { return before.bytes.load() > 0; }));
    if (round % 2 == 0)
      f->DelTCPEvent(before.node, s1, true);
    else
      f->GetTCPEngine()->ClearNode(s1, true);
    ASSERT_TRUE(WaitFor([&] { return f->GetSocketGeneration(s1) == 0; }));

    auto [s2, peer2] = FrameClient(f.frame, listener);
    ASSERT_GE(s2, 0);
    reused += s2 == s1;
    after.generation = f->GetSocketGeneration(s2);
    ASSERT_NE(before.generation.load(), after.generation.load());
    ASSERT_EQ(0, f->AddTCPEvent(after.node, s2, 0));
    {
      Pump fresh(peer2, 'b', kNewBytes);
      EXPECT_TRUE(WaitFor([&] { return after.bytes.load() >= kNewBytes; }));
    }
    EXPECT_EQ(kNewBytes, after.bytes.load());
    EXPECT_EQ(0, after.foreign.load());
    EXPECT_EQ(0, before.foreign.load());
    // Still listed for the number only when a socket that is gone kept it.
    if (s2 == s1) {
      EXPECT_EQ(0, f->GetNodeSocketCount(before.node));
    }
    f->DelTCPEvent(after.node, s2, true);
  }
  close(listener);
  EXPECT_GE(reused, kRounds / 2) << "the system never handed the closed number to the new socket";
}

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
