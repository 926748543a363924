// Throughput of the socket-thread engine against plain blocking reads.
//
// UDP: 64-byte datagrams from a loopback sender, sent in windows of 50 so
// that neither the kernel buffer nor the node queue's flow control (100)
// drops or throttles anything; each window is waited for before the next.
// TCP: 64 MiB over one loopback connection, read 1024 bytes at a time by the
// engine (into CTCPEvents for a node) or by a raw read loop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "../tests/support/nettest_util.h"
#include "base/zepconst.h"
#include "bench_util.h"
#include "events/appnode.h"
#include "events/events.h"
#include "frame/zepframe.h"

namespace {

constexpr int kWindow = 50;
constexpr int kDatagram = 64;
constexpr size_t kTcpBytes = 64u << 20;

using nettest::LocalPort;
using nettest::Loopback;

using benchutil::Counter;

// Sends windows of datagrams to `to`, waiting for each window to arrive.
void SendWindows(benchmark::State& state, int sender, const sockaddr_in& to, Counter& c) {
  char buf[kDatagram];
  std::memset(buf, 'u', sizeof(buf));
  uint64_t sent = c.n.load();
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i)
      sendto(sender, buf, sizeof(buf), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    sent += kWindow;
    if (!c.WaitFor(sent)) {
      state.SkipWithError("datagrams lost");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kWindow);
}

class CountNode : public CAppNode {
 public:
  CountNode(ZEPFrame* f, Counter* c) : CAppNode(f), m_pCounter(c) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      CEvent* e = Event().Get();
      if (CQuitEvent::Narrow(e) != nullptr) return;
      CTCPEvent* t = CTCPEvent::Narrow(e);
      if (t == nullptr) continue;
      if (benchutil::AttachAccepted(this, t)) continue;
      if (t->IsTcpData()) {
        m_pCounter->Add(m_bBytes ? static_cast<uint64_t>(t->GetRecvSize()) : 1);
      }
    }
  }
  bool m_bBytes = false;

 private:
  Counter* m_pCounter;
};

// A frame with the socket-thread engine, running, and one counting node.
struct EngineRig {
  ZEPFrame frame{true, true};
  Counter counter;
  CountNode* node;
  EngineRig() {
    // Each connection is capped at 10 MiB/s by default; measure the engine,
    // not that policy.
    frame.SetDefaultConnBandwidth(1 << 30);
    frame.Service();
    node = new CountNode(&frame, &counter);
    frame.AddNode(node, true);
  }
  ~EngineRig() {
    frame.ExitFrame();
    frame.WaitServiceStop();
  }
};

void BM_UdpRaw_Datagrams(benchmark::State& state) {
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Loopback(0);
  bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  Counter c;
  std::thread reader([&] {
    char buf[ZEP_TCP_BUFSIZE];
    for (;;) {
      ssize_t n = recv(rx, buf, sizeof(buf), 0);
      if (n == 1) break;  // the stop datagram
      c.Add(1);
    }
  });
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = Loopback(LocalPort(rx));
  SendWindows(state, tx, to, c);
  sendto(tx, "q", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  reader.join();
  close(tx);
  close(rx);
}
BENCHMARK(BM_UdpRaw_Datagrams)->UseRealTime();

void BM_UdpEngine_Datagrams(benchmark::State& state) {
  EngineRig rig;
  int rx = rig.frame.CreateServer("127.0.0.1", "0", ZEP_PROTO_UDP);
  rig.frame.AddTCPEvent(rig.node, rx, 0);
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  SendWindows(state, tx, Loopback(rig.frame.GetLocalPort(rx)), rig.counter);
  close(tx);
}
BENCHMARK(BM_UdpEngine_Datagrams)->UseRealTime();

// Writes kTcpBytes on `tx` per iteration and waits for them to arrive.
void StreamBytes(benchmark::State& state, int tx, Counter& c) {
  std::vector<char> chunk(64 * 1024, 't');
  uint64_t total = c.n.load();
  for (auto _ : state) {
    size_t done = 0;
    while (done < kTcpBytes) {
      ssize_t n = send(tx, chunk.data(), std::min(chunk.size(), kTcpBytes - done), MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    total += kTcpBytes;
    if (done != kTcpBytes || !c.WaitFor(total)) {
      state.SkipWithError("stream broken");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kTcpBytes));
}

void BM_TcpRaw_Bytes(benchmark::State& state) {
  int tx, rx, ls;
  benchutil::RawTcpPair(&tx, &rx, &ls);
  Counter c;
  std::thread reader([&] {
    char buf[1024];
    for (;;) {
      ssize_t n = read(rx, buf, sizeof(buf));
      if (n <= 0) break;
      c.Add(static_cast<uint64_t>(n));
    }
  });
  StreamBytes(state, tx, c);
  close(tx);
  reader.join();
  close(rx);
  close(ls);
}
BENCHMARK(BM_TcpRaw_Bytes)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TcpEngine_Bytes(benchmark::State& state) {
  EngineRig rig;
  rig.node->m_bBytes = true;
  rig.frame.SetSelectSize(1024);
  int ls = rig.frame.CreateServer("127.0.0.1", "0", ZEP_PROTO_TCP);
  rig.frame.AddTCPEvent(rig.node, ls, 0);
  int tx = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = Loopback(rig.frame.GetLocalPort(ls));
  connect(tx, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  StreamBytes(state, tx, rig.counter);
  close(tx);
}
BENCHMARK(BM_TcpEngine_Bytes)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
