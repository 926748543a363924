// The frame's report and its throughput sample over real loopback sockets:
// exact texts, the sampling hook on both engines, one sample at a time, and
// reports running while nodes and sockets churn.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/lockguard.h"
#include "events/threadpool.h"
#include "frame/zepframe.h"
#include "log/zeplog.h"
#include "net/zepmttcp.h"
#include "support/files.h"
#include "support/frame_helpers.h"
#include "support/logcapture.h"
#include "support/nettest_util.h"
#include "support/tempdir.h"

using namespace nettest;

namespace {

std::string Text(const ZEPString& s) { return s.GetSafeText(); }

// A node that takes its events and drops them until it is told to quit.
class SinkNode : public CAppNode {
 public:
  explicit SinkNode(ZEPFrame* f) : CAppNode(f) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      if (CQuitEvent::Narrow(Event().Get()) != nullptr) return;
    }
  }
};

// A served frame with `held` nodes released before the drain check.
struct Served {
  Served(bool pool, bool threads) : frame(new ZEPFrame(pool, threads)) { frame->Service(); }
  ~Served() {
    frame->ExitFrame();
    frame->WaitServiceStop();
    for (CAppNode* n : held) n->downcount();
    zeptest::ExpectFrameDrained(*frame);
    delete frame;
  }
  SinkNode* Node() {
    SinkNode* n = new SinkNode(frame);
    n->upcount();
    held.push_back(n);
    frame->AddNode(n, true);
    return n;
  }
  // A frame UDP socket bound to 127.0.0.1, attached to `node`.
  int Udp(CAppNode* node) {
    int s = frame->CreateServer("127.0.0.1", "0", ZEP_PROTO_UDP);
    EXPECT_GE(s, 0);
    EXPECT_EQ(0, frame->AddTCPEvent(node, s, 0));
    return s;
  }
  ZEPFrame* frame;
  std::vector<CAppNode*> held;
};

void SendDatagrams(int to, int count, int size) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(to);
  std::string payload(static_cast<size_t>(size), 'x');
  for (int i = 0; i < count; ++i)
    sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  close(s);
}

}  // namespace

TEST(FrameReport, CountOfAnIdleFrameAndOfOneWithANodeAndASocket) {
  Served f(false, false);
  ZEPString out("x");
  EXPECT_EQ(&out, &f.frame->PrintCount(out));
  EXPECT_EQ(
      "x\r\n===================================================\r\n"
      "Total Nodes           : 0\r\nTotal Sockets         : 0\r\n"
      "Total Sockets in event: 0\r\n\r\n",
      Text(out));
  SinkNode* n = f.Node();
  f.Udp(n);
  const int loose = f.frame->CreateUDPSocket(ZEP_SOCK_CLIENT);  // no node attached
  out = "";
  f.frame->PrintCount(out);
  EXPECT_NE(std::string::npos, Text(out).find("Total Nodes           : 1\r\n"
                                              "Total Sockets         : 2\r\n"
                                              "Total Sockets in event: 1\r\n"));
  f.frame->ClearNode(loose, true);
}

TEST(FrameReport, WithoutPoolAndWithPollingEngineNoThreadLines) {
  Served f(false, false);
  ZEPString out;
  f.frame->PrintBTree(out);
  const std::string t = Text(out);
  const std::string head =
      "\r\n\r\n=============ZEPFrame Report======================="
      "\r\n--------------------------------------------------"
      "\r\nm_NodeList          Count:0"
      "\r\nm_NodeListTree      Count:0"
      "\r\nm_TickerList        Count:0"
      "\r\nm_QuitList          Count:0"
      "\r\nm_pTCPEventPool     Count:";
  const std::string middle =
      "\r\nm_pTimerEventPool   Count:0"
      "\r\nm_pUserEventPool    Count:0"
      "\r\nm_pQuitEventPool    Count:0"
      "\r\nm_pCCmdEventPool    Count:0"
      "\r\nm_TCPDataPool       Count:0"
      "\r\nm_TCPSocketDataPool Count:0"
      "\r\nm_SocketPool        Count:0"
      "\r\nStart Service        Time:";
  const std::string tail = "\r\n================Report End=========================\r\n\r\n";
  ASSERT_EQ(0u, t.find(head)) << t;
  // The polling service loop may hold one TCP event of its own.
  const size_t mid = t.find(middle);
  ASSERT_NE(std::string::npos, mid) << t;
  EXPECT_LE(mid - head.size(), 1u);
  // "YYYY/MM/DD hh:mm:ss", then the end.
  const std::string when = t.substr(mid + middle.size(), 19);
  int y, mo, d, h, mi, se;
  char extra;
  EXPECT_EQ(
      6, std::sscanf(when.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &extra))
      << when;
  EXPECT_TRUE(when[4] == '/' && when[7] == '/' && when[10] == ' ' && when[13] == ':') << when;
  // The flood counts are the process's: only their lines are fixed here.
  const std::string rest = t.substr(mid + middle.size() + 19);
  EXPECT_EQ(0u, rest.find("\r\nFlood Pauses        Count:")) << t;
  EXPECT_NE(std::string::npos, rest.find("\r\nFlood Episodes      Count:")) << t;
  EXPECT_NE(std::string::npos, rest.find(" open)\r\nFlood Events        Count:")) << t;
  ASSERT_GE(rest.size(), tail.size());
  EXPECT_EQ(tail, rest.substr(rest.size() - tail.size())) << t;
}

TEST(FrameReport, PoolAndSocketThreadLinesFollowTheCounts) {
  Served f(true, true);
  SinkNode* n = f.Node();
  f.Udp(n);
  // The node's worker picks its job up on its own thread: wait for both.
  ASSERT_TRUE(WaitFor([&] { return f.frame->GetTCPEngine()->GetUsedThread() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return f.frame->GetThreadPool()->GetUsedThread() == 1; }));
  ZEPString out;
  const std::string t = Text(f.frame->PrintBTree(out));
  EXPECT_NE(std::string::npos, t.find("\r\nm_NodeList          Count:1"
                                      "\r\nm_NodeListTree      Count:1"));
  EXPECT_NE(std::string::npos, t.find("\r\nm_TCPSocketDataPool Count:1"
                                      "\r\nm_SocketPool        Count:1"
                                      "\r\nGetTotalThread      Count:5"
                                      "\r\nGetUsedThread       Count:1"
                                      "\r\nGetTotalSockThread  Count:5"
                                      "\r\nGetUsedSockThread   Count:1"
                                      "\r\nStart Service        Time:"))
      << t;
}

TEST(FrameSampleTable, NoTrafficAndThreeThousandBytesOverThreeSeconds) {
  ZEPBTree<SampleNode> tree;
  ZEPString out;
  ZEPFrameSampleTable(tree, 3, out);
  const std::string equals = "===========================================";
  EXPECT_EQ(
      "\r\n" + equals + "\r\n  Socket   Byte/Second\r\n  Total:          0\r\n" + equals + "\r\n",
      Text(out));

  SampleNode a;
  a.m_nSocket = 12;
  a.m_nBytes = 3000;
  SampleNode b;
  b.m_nSocket = 7;
  b.m_nBytes = 10;
  tree.InsertKey(a);
  tree.InsertKey(b);
  out = "";
  ZEPFrameSampleTable(tree, 3, out);
  EXPECT_EQ("\r\n" + equals + "\r\n  Socket   Byte/Second\r\n       7          3\r\n" +
                "      12       1000\r\n  Total:       1003\r\n" + equals + "\r\n",
            Text(out));
}

class FrameSample : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Engines, FrameSample, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("Threads") : std::string("Polling");
                         });

TEST_P(FrameSample, ZeroSecondsReturnsAtOnceWithAnEmptyTree) {
  Served f(true, GetParam());
  ZEPBTree<SampleNode> tree;
  SampleNode stale;
  stale.m_nSocket = 3;
  tree.InsertKey(stale);
  const auto t0 = Clock::now();
  f.frame->StartSample(tree, 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(0u, tree.GetKeyCount());
}

TEST_P(FrameSample, BytesReadDuringTheSampleAreCountedPerSocket) {
  Served f(true, GetParam());
  SinkNode* n = f.Node();
  const int busy = f.Udp(n);
  const int quiet = f.Udp(n);
  const int busyPort = f.frame->GetLocalPort(busy);
  ZEPBTree<SampleNode> tree;
  std::thread sampler([&] { f.frame->StartSample(tree, 2); });
  // Traffic before the sample starts would not count: wait for the flag.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SendDatagrams(busyPort, 3, 1000);
  sampler.join();
  SampleNode key;
  key.m_nSocket = busy;
  SampleNode* p = tree.SearchKey(key);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(3000u, p->m_nBytes);
  key.m_nSocket = quiet;
  EXPECT_EQ(nullptr, tree.SearchKey(key));
  // After the sample nothing is added to the caller's tree any more.
  SendDatagrams(busyPort, 1, 500);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  key.m_nSocket = busy;
  EXPECT_EQ(3000u, tree.SearchKey(key)->m_nBytes);
}

TEST(FrameSample, TwoSamplesRunOneAfterTheOther) {
  Served f(true, true);
  ZEPBTree<SampleNode> t1, t2;
  const auto t0 = Clock::now();
  std::thread a([&] { f.frame->StartSample(t1, 1); });
  std::thread b([&] { f.frame->StartSample(t2, 1); });
  a.join();
  b.join();
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1900));
}

TEST(FrameSample, PrintSampleLogsTheTableAtInfo) {
  zeptest::TempDir dir;
  ZEPLog log((dir / "report.log").c_str());
  zeptest::ScopedLog use(&log);
  {
    Served f(true, true);
    SinkNode* n = f.Node();
    const int s = f.Udp(n);
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      SendDatagrams(f.frame->GetLocalPort(s), 3, 1000);
    });
    f.frame->PrintSample();
    sender.join();
    char line[64];
    std::snprintf(line, sizeof(line), "%8d     %6d", s, 1000);
    const std::string text = zeptest::ReadFile(dir / "report.log");
    EXPECT_NE(std::string::npos, text.find(":INFO:\r\n====")) << text;
    EXPECT_NE(std::string::npos, text.find(std::string(line) + "\r\n  Total:       1000\r\n"))
        << text;
  }
}

// Reports on one thread while others add and quit nodes and open, attach and
// close sockets: no crash, no freed record read (the sanitizer builds check
// the latter), and the counts settle once the churn ends.
TEST(FrameReport, ReportsWhileNodesAndSocketsChurn) {
  Served f(true, true);
  std::atomic<bool> stop{false};
  std::thread reporter([&] {
    ZEPBTree<SampleNode> tree;
    while (!stop.load()) {
      ZEPString out;
      f.frame->PrintCount(out);
      f.frame->PrintBTree(out);
      f.frame->PrintSocketMaps(out);
      f.frame->StartSample(tree, 0);
    }
  });
  std::vector<std::thread> churn;
  for (int t = 0; t < 2; ++t) {
    churn.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        SinkNode* n = new SinkNode(f.frame);
        n->upcount();
        f.frame->AddNode(n, true);
        int s = f.frame->CreateServer("127.0.0.1", "0", ZEP_PROTO_UDP);
        f.frame->AddTCPEvent(n, s, 0);
        SendDatagrams(f.frame->GetLocalPort(s), 1, 100);
        if (i % 2 == 0) f.frame->DelTCPEvent(n, s, true);
        CQuitEvent* q = f.frame->AllocQuitEvent();
        SmartPtr<CEvent> hold(q);
        f.frame->Enqueue(n, q, true, false);
        n->downcount();
      }
    });
  }
  for (std::thread& t : churn) t.join();
  stop.store(true);
  reporter.join();
  ASSERT_TRUE(WaitFor([&] { return f.frame->GetNodeCount() == 0; }));
  ZEPString out;
  f.frame->PrintCount(out);
  EXPECT_NE(std::string::npos, Text(out).find("Total Nodes           : 0\r\n"));
}
