// Heartbeat links against peers of the test's own on loopback: silence,
// reconnect, refused sends, heartbeats and bad streams. Spans are shortened
// to seconds; every wait is bounded.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <string>

#include "link/zeplinkclient.h"
#include "link/zeplinkserver.h"
#include "support/frame_helpers.h"
#include "support/logcapture.h"
#include "support/nettest_util.h"

namespace {

using nettest::Clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// What the hooks saw; shared so the test can read it after the node is gone.
struct Seen {
  std::atomic<int> connects{0}, fails{0}, dies{0}, disconnects{0}, cmds{0}, hbsSent{0};
  std::atomic<int> ticks{0};        // TimerInSec
  std::atomic<int> otherTimers{0};  // timer events handed to OtherEvent
  std::atomic<bool> destroyed{false};
  std::mutex mu;
  std::vector<std::string> data;  // under mu
  Clock::time_point dieAt;        // under mu

  void Record(const GeneralCmd_* c) {
    std::lock_guard<std::mutex> l(mu);
    data.emplace_back(c->m_Data, c->m_nPayload);
    cmds++;
  }
};

// A command that makes the test client break its link itself.
constexpr uint16_t kBreakCode = 99;

class TestClient : public ZEPLinkClient {
 public:
  TestClient(ZEPFrame* f, std::shared_ptr<Seen> s) : ZEPLinkClient(f, false), m_Seen(s) {}
  ~TestClient() override { m_Seen->destroyed.store(true); }
  void DestroyMe() override { delete this; }
  void SendHB() override {
    m_Seen->hbsSent++;
    SendCmd(1, nullptr, 0, CTT_PLAIN);
  }
  void ProcessCmd(GeneralCmd_* c) override {
    if (c->m_nCode == 1) UpdateHBTime();
    if (c->m_nCode == kBreakCode) BreakLink();
    m_Seen->Record(c);
  }
  void ConnectOK() override { m_Seen->connects++; }
  void ConnectFail() override { m_Seen->fails++; }
  void NoHBDie() override {
    std::lock_guard<std::mutex> l(m_Seen->mu);
    m_Seen->dieAt = Clock::now();
    m_Seen->dies++;
  }
  void DisconnBySVR() override { m_Seen->disconnects++; }
  void TimerInSec() override { m_Seen->ticks++; }
  void OtherEvent(CEvent* e) override {
    if (CTimerEvent::Narrow(e) != nullptr) m_Seen->otherTimers++;
  }

 private:
  std::shared_ptr<Seen> m_Seen;
};

class TestChild : public ZEPLinkSvrChild {
 public:
  TestChild(ZEPFrame* f, int sock, std::shared_ptr<Seen> s)
      : ZEPLinkSvrChild(f, sock, false), m_Seen(s) {}
  ~TestChild() override { m_Seen->destroyed.store(true); }
  void DestroyMe() override { delete this; }
  void SendHB() override {
    m_Seen->hbsSent++;
    SendCmd(1, nullptr, 0, CTT_PLAIN);
  }
  void ProcessCmd(GeneralCmd_* c) override {
    if (c->m_nCode == 1) UpdateHBTime();
    m_Seen->Record(c);
  }
  void NoHBDie() override { m_Seen->dies++; }
  void DisconnByCln() override { m_Seen->disconnects++; }

 private:
  std::shared_ptr<Seen> m_Seen;
};

// Accepts one connection within `ms`, or -1.
int AcceptWithin(int listener, int ms) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return -1;
  return accept(listener, nullptr, nullptr);
}

std::string Port(int listener) { return std::to_string(nettest::LocalPort(listener)); }

// A client of `listener`'s port on loopback, not yet added to the frame.
TestClient* ClientOf(ZEPFrame* f, std::shared_ptr<Seen> seen, int listener) {
  TestClient* c = new TestClient(f, seen);
  c->SetServerHostPort("127.0.0.1", Port(listener).c_str());
  return c;
}

// One encoder per connection: compressed frames carry their stream's context.
std::string Frame(ZEPCmdEncoder& enc, uint32_t seq, uint16_t code, const std::string& data,
                  int encoding) {
  char out[kGeneralCmdSize];
  int n = enc.Encode(seq, code, data.data(), static_cast<uint16_t>(data.size()), encoding, out);
  return std::string(out, static_cast<size_t>(n));
}

void WriteAll(int s, const std::string& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t n = write(s, b.data() + off, b.size() - off);
    ASSERT_GT(n, 0);
    off += static_cast<size_t>(n);
  }
}

// Reads frames from `s` until one complete frame decodes or `ms` pass.
bool ReadFrame(int s, ZEPCmdDecoder& dec, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  char buf[512];
  while (Clock::now() < end) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    ssize_t n = read(s, buf, sizeof(buf));
    if (n <= 0) return false;
    int off = 0;
    while (off < n) {
      int used = 0;
      int rc = dec.Feed(buf + off, static_cast<int>(n) - off, &used);
      off += used;
      if (rc == ZEPCmdDecoder::kFrame) return true;
    }
  }
  return false;
}

TEST(LinkClient, SilentServerIsClearedAfterTheDieSpanThenReconnects) {
  zeptest::LogCapture log;
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  int listener = nettest::PlainListener();
  TestClient* c = ClientOf(f.frame, seen, listener);
  c->SetSendHBSpan(100);
  c->SetDieSpan(2);
  c->SetReconnectSpan(1);
  ASSERT_EQ(0, f->AddNode(c, true));
  int first = AcceptWithin(listener, 5000);
  ASSERT_GE(first, 0);
  const auto accepted = Clock::now();
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->dies.load() == 1; }, 8000));
  Clock::time_point dieAt;
  {
    std::lock_guard<std::mutex> l(seen->mu);
    dieAt = seen->dieAt;
  }
  const double silent = std::chrono::duration<double>(dieAt - accepted).count();
  EXPECT_GE(silent, 1.8);
  EXPECT_LE(silent, 5.0);
  int second = AcceptWithin(listener, 6000);
  ASSERT_GE(second, 0);
  EXPECT_GE(Since(dieAt), 0.8);  // not before the reconnect span
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->connects.load() == 2; }, 5000));
  EXPECT_EQ(2, log.Count("INFO", "Connected to: 127.0.0.1:" + Port(listener)));
  EXPECT_EQ(1, log.Count("WARN", "No HB from server. Cleared!"));
  c->Quit();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
  close(first);
  close(second);
  close(listener);
}

TEST(LinkClient, NoReconnectLeavesAClearedClientDisconnected) {
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  int listener = nettest::PlainListener();
  TestClient* c = ClientOf(f.frame, seen, listener);
  c->SetDieSpan(1);
  c->SetReconnectSpan(1);
  c->SetTryReconnect(false);
  ASSERT_EQ(0, f->AddNode(c, true));
  int first = AcceptWithin(listener, 5000);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->dies.load() == 1; }, 8000));
  EXPECT_FALSE(c->IsConnected());
  EXPECT_EQ(-1, c->SendCmd(100, "x", 1, CTT_PLAIN));
  EXPECT_EQ(-1, AcceptWithin(listener, 2500));
  EXPECT_EQ(1, seen->connects.load());
  c->Quit();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
  close(first);
  close(listener);
}

TEST(LinkClient, NotConnectedSendsNothingAndStatusNamesTheServer) {
  zeptest::LogCapture log;
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  TestClient* idle = new TestClient(f.frame, seen);
  idle->SetServerHostPort("127.0.0.1", "9");
  EXPECT_FALSE(idle->IsConnected());
  EXPECT_EQ(-1, idle->SendCmd(7, 100, "x", 1, CTT_PLAIN));
  EXPECT_EQ(-1, idle->SendCmd(100, "x", 1, CTT_PLAIN));
  ZEPString status;
  idle->GetStatus(status);
  const std::string s(status.GetSafeText(), status.GetLength());
  EXPECT_EQ(0u, s.find("Start time.............: "));
  EXPECT_NE(std::string::npos, s.find("\r\nServer host............: 127.0.0.1:9\r\n"));
  EXPECT_NE(std::string::npos, s.find("\r\nServer socket..........: -1\r\n\r\n"));
  idle->DestroyMe();

  // A server that is not there: ConnectFail, and still nothing to send on.
  int gone = nettest::PlainListener();
  const std::string port = Port(gone);
  close(gone);
  TestClient* c = new TestClient(f.frame, seen);
  c->SetServerHostPort("127.0.0.1", port.c_str());
  c->SetTryReconnect(false);
  ASSERT_EQ(0, f->AddNode(c, true));
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->fails.load() == 1; }, 5000));
  EXPECT_EQ(-1, c->SendCmd(100, "x", 1, CTT_PLAIN));
  EXPECT_EQ(1, log.Count("ERRR", "Cannot connect to: 127.0.0.1:" + port));
  c->Quit();
}

TEST(LinkClient, ServerCloseAndBadStreamClearTheLink) {
  zeptest::LogCapture log;
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  int listener = nettest::PlainListener();
  TestClient* c = ClientOf(f.frame, seen, listener);
  c->SetReconnectSpan(1);
  ASSERT_EQ(0, f->AddNode(c, true));
  int peer = AcceptWithin(listener, 5000);
  ASSERT_GE(peer, 0);
  // Commands come through, written as one piece or byte by byte.
  ZEPCmdEncoder enc;
  std::string two = Frame(enc, 0, 5, "one", CTT_ZIP);
  two += Frame(enc, 1, 5, "two", CTT_ZIP);  // in order: the stream's context
  WriteAll(peer, two);
  for (char ch : Frame(enc, 2, 5, "three", CTT_ZIP)) WriteAll(peer, std::string(1, ch));
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->cmds.load() == 3; }, 5000));
  {
    std::lock_guard<std::mutex> l(seen->mu);
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), seen->data);
  }
  // A length no frame can have: the link is cleared, and comes back.
  WriteAll(peer, std::string("\x00\x03garbage", 9));
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->disconnects.load() == 1; }, 5000));
  int second = AcceptWithin(listener, 6000);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->connects.load() == 2; }, 5000));
  // The new connection starts with fresh compression contexts.
  ZEPCmdEncoder fresh;
  WriteAll(second, Frame(fresh, 9, 5, "again", CTT_ZIP));
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->cmds.load() == 4; }, 5000));
  // The client breaks the link itself, and reconnects after the span.
  WriteAll(second, Frame(fresh, 10, kBreakCode, "", CTT_ZIP));
  int third = AcceptWithin(listener, 6000);
  ASSERT_GE(third, 0);
  EXPECT_EQ(1, seen->disconnects.load());
  char b;
  EXPECT_EQ(0, read(second, &b, 1));  // the broken link was closed
  close(second);
  // The server closes: cleared again.
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->connects.load() == 3; }, 5000));
  close(third);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->disconnects.load() == 2; }, 5000));
  EXPECT_EQ(1, log.Count("INFO", "Disconnected by server."));
  EXPECT_EQ(1, log.Count("WARN", "Bad cmd stream from server. Cleared!"));
  c->SetTryReconnect(false);
  c->Quit();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
  close(peer);
  close(listener);
}

// A close event of an earlier socket whose number the link's socket reuses
// (it waited in the queue while the link was cleared and connected again)
// must not end the current link; the current generation's close does.
TEST(LinkClient, CloseOfAnEarlierSocketWithTheSameNumberKeepsTheLink) {
  zeptest::LogCapture log;
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  int listener = nettest::PlainListener();
  TestClient* c = ClientOf(f.frame, seen, listener);
  c->SetTryReconnect(false);
  ASSERT_EQ(0, f->AddNode(c, true));
  int peer = AcceptWithin(listener, 5000);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->connects.load() == 1; }, 5000));
  const int sock = c->GetServerSocket();
  const uint32_t generation = f->GetSocketGeneration(sock);
  ASSERT_NE(0u, generation);
  auto closeOf = [&](uint32_t gen) {
    SmartPtr<CTCPEvent> ev(f->AllocTCPEvent());
    ev->SetRC(ZEP_TCP_CLOSE);
    ev->SetSocket(sock);
    ev->SetGeneration(gen);
    EXPECT_TRUE(f->Enqueue(c, ev.Get(), true, false));
    ev.Release();
  };
  closeOf(generation + 1000);
  ASSERT_TRUE(nettest::WaitFor(
      [&] { return log.Count("WARN", "m_ptrTCP->GetSocket() != m_nClientSocket") == 1; }, 5000));
  EXPECT_TRUE(c->IsConnected());
  EXPECT_EQ(0, seen->disconnects.load());
  // The link still carries commands.
  ZEPCmdEncoder enc;
  WriteAll(peer, Frame(enc, 0, 5, "alive", CTT_PLAIN));
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->cmds.load() == 1; }, 5000));
  closeOf(generation);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->disconnects.load() == 1; }, 5000));
  EXPECT_FALSE(c->IsConnected());
  EXPECT_EQ(2, log.Count("INFO", "Disconnected by server."));
  c->Quit();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
  close(peer);
  close(listener);
}

// Late ticks of an ended timer whose record the link's ticker now uses (the
// pool hands out its lowest free record) are not the ticker's: they go to
// OtherEvent, and the ticker keeps its pace.
TEST(LinkClient, LateTicksOfTheTickersRecordsEndedTimerAreNotTicks) {
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  int listener = nettest::PlainListener();
  TestClient* c = ClientOf(f.frame, seen, listener);
  c->SetSendHBSpan(100);
  ASSERT_EQ(0, f->AddNode(c, false));
  uint64_t endedSerial = 0;
  TimeEvent_tag* rec = f->AddTicker(c, 60000, -1, 0, &endedSerial);
  ASSERT_NE(nullptr, rec);
  ASSERT_EQ(0, f->DelTicker(rec, endedSerial));
  f->StartService(c);
  int peer = AcceptWithin(listener, 5000);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->ticks.load() >= 1; }, 5000));
  const int kLate = 5;
  for (int i = 0; i < kLate; ++i) {
    SmartPtr<CTimerEvent> late(f->AllocTimerEvent());
    late->SetTimerID(rec);
    late->SetTimerSerial(endedSerial);
    EXPECT_TRUE(f->Enqueue(c, late.Get(), true, false));
    late.Release();
  }
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->otherTimers.load() == kLate; }, 5000));
  const int ticks = seen->ticks.load();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->ticks.load() > ticks; }, 5000));
  EXPECT_EQ(kLate, seen->otherTimers.load());
  c->Quit();
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
  close(peer);
  close(listener);
}

// A frame client socket to a plain listener stands in for an accepted one.
struct ChildPair {
  explicit ChildPair(ZEPFrame* f) {
    listener = nettest::PlainListener();
    sock = f->CreateClient("127.0.0.1", Port(listener).c_str(), ZEP_PROTO_TCP);
    peer = AcceptWithin(listener, 5000);
  }
  ~ChildPair() {
    if (peer >= 0) close(peer);
    close(listener);
  }
  int listener = -1, sock = -1, peer = -1;
};

TEST(LinkSvrChild, FailedSendEndsTheChild) {
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  ChildPair pair(f.frame);
  ASSERT_GE(pair.peer, 0);
  TestChild* child = new TestChild(f.frame, pair.sock, seen);
  ASSERT_EQ(0, f->AddNode(child, true));
  ZEPString status;
  child->GetStatus(status);
  const std::string text(status.GetSafeText(), status.GetLength());
  EXPECT_NE(std::string::npos, text.find("\r\nWay Point conn time....: "));
  EXPECT_NE(std::string::npos,
            text.find("\r\nChild socket...........: " + std::to_string(pair.sock) + "\r\n\r\n"));
  ASSERT_EQ(0, child->SendCmd(100, "ok", 2, CTT_DES));
  ZEPCmdDecoder dec;
  ASSERT_TRUE(ReadFrame(pair.peer, dec, 5000));
  EXPECT_EQ("ok", std::string(dec.Frame()->m_Data, 2));
  EXPECT_EQ(-1, child->SendCmd(100, "no", 2, CTT_BAD_ZIP));
  EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000));
}

// A send from another thread after the child's loop ended must not reach
// whatever socket got the child's descriptor number next.
TEST(LinkSvrChild, AnEndedChildNeverWritesToItsSocketsNumber) {
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  ChildPair pair(f.frame);
  ASSERT_GE(pair.peer, 0);
  TestChild* child = new TestChild(f.frame, pair.sock, seen);
  child->upcount();  // the test's own reference: the object outlives its node
  ASSERT_EQ(0, f->AddNode(child, true));
  ASSERT_TRUE(nettest::WaitFor([&] { return f->GetNodeSocketCount(child) == 1; }, 5000));
  child->Quit();
  // The frame closes the socket once the child has quit (its record goes).
  ASSERT_TRUE(nettest::WaitFor(
      [&] { return !f->IsNodeRegistered(child) && f->GetSocketGeneration(pair.sock) == 0; }, 5000));
  EXPECT_EQ(-1, child->GetChildSocket());
  const int other = nettest::PlainConnect(nettest::LocalPort(pair.listener));
  const int otherPeer = AcceptWithin(pair.listener, 5000);
  ASSERT_GE(otherPeer, 0);
  ASSERT_EQ(pair.sock, dup2(other, pair.sock));  // the number now names another link
  EXPECT_EQ(-1, child->SendCmd(100, "stale", 5, CTT_PLAIN));
  pollfd p{otherPeer, POLLIN, 0};
  EXPECT_EQ(0, poll(&p, 1, 300));
  close(pair.sock);
  close(other);
  close(otherPeer);
  child->downcount();
  EXPECT_TRUE(seen->destroyed.load());
}

TEST(LinkSvrChild, HeartbeatsThenSilenceEndsTheChild) {
  zeptest::LogCapture log;
  zeptest::ServedFrame f;
  auto seen = std::make_shared<Seen>();
  ChildPair pair(f.frame);
  ASSERT_GE(pair.peer, 0);
  TestChild* child = new TestChild(f.frame, pair.sock, seen);
  child->SetSendHBSpan(1);
  child->SetDieSpan(3);
  const auto start = Clock::now();
  ASSERT_EQ(0, f->AddNode(child, true));
  ZEPCmdDecoder dec;
  ASSERT_TRUE(ReadFrame(pair.peer, dec, 5000));
  EXPECT_EQ(1, dec.Frame()->m_nCode);
  EXPECT_EQ(0, dec.Frame()->m_nPayload);
  ASSERT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 10000));
  EXPECT_EQ(1, seen->dies.load());
  EXPECT_EQ(1, log.Count("WARN", "No HB from client. Cleared!"));
  EXPECT_GE(Since(start), 2.8);
}

TEST(LinkSvrChild, BadStreamOrCloseEndsTheChild) {
  for (bool garbage : {true, false}) {
    zeptest::ServedFrame f;
    auto seen = std::make_shared<Seen>();
    ChildPair pair(f.frame);
    ASSERT_GE(pair.peer, 0);
    TestChild* child = new TestChild(f.frame, pair.sock, seen);
    ASSERT_EQ(0, f->AddNode(child, true));
    ZEPCmdEncoder enc;
    WriteAll(pair.peer, Frame(enc, 0, 5, "before", CTT_ZIP_DES));
    ASSERT_TRUE(nettest::WaitFor([&] { return seen->cmds.load() == 1; }, 5000));
    if (garbage) {
      WriteAll(pair.peer, std::string("\xff\xff\xff\xff", 4));
    } else {
      close(pair.peer);
      pair.peer = -1;
    }
    EXPECT_TRUE(nettest::WaitFor([&] { return seen->destroyed.load(); }, 5000)) << garbage;
    EXPECT_EQ(garbage ? 0 : 1, seen->disconnects.load());
  }
}

}  // namespace
