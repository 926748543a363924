// Command frames through one loopback link against a plain TCP write/read
// loop that moves the same bytes.
//
// Link: a CmdTransfer sends frames on a frame client socket with SendCmd (one
// write per frame); a receiving CmdTransfer node on the accepted socket
// decodes them with GetCmd as its TCP events arrive. Raw: one write per
// frame-sized piece, a thread reading 1024 bytes at a time. Each iteration
// moves a window of 64 commands and waits for all of them to arrive. The
// byte-rate throttles are lifted: the link is measured, not that policy.
// The data is text that compresses about as well as a property message.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "bench_util.h"
#include "cmd/cmdtransfer.h"
#include "frame/zepframe.h"

namespace {

constexpr int kWindow = 64;

using benchutil::Counter;

// Both sides write one frame at a time and send at once: without this, a
// frame written while the previous one is still unacknowledged waits for the
// peer's delayed acknowledgement, and the measurement becomes one of timers.
void NoDelay(int s) {
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

std::string Payload(size_t n) {
  std::string s;
  while (s.size() < n) s += "\x01UserName=host-" + std::to_string(s.size() % 97) + "\x01OK=Y";
  s.resize(n);
  return s;
}

// Accepts on its listener, then decodes and counts the frames it receives.
class RecvNode : public CmdTransfer {
 public:
  RecvNode(ZEPFrame* f, Counter* c) : CmdTransfer(f), m_pCounter(c) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override {
    for (;;) {
      RecvEvent();
      CEvent* e = Event().Get();
      if (CQuitEvent::Narrow(e) != nullptr) return;
      CTCPEvent* t = CTCPEvent::Narrow(e);
      if (t == nullptr) continue;
      if (benchutil::AttachAccepted(this, t)) continue;
      if (GetCmd(t) != nullptr) {
        m_pCounter->Add(1);
      }
    }
  }

 private:
  Counter* m_pCounter;
};

class SendNode : public CmdTransfer {
 public:
  explicit SendNode(ZEPFrame* f) : CmdTransfer(f) {}
  void DestroyMe() override { delete this; }
  void doRunNode() override {}
};

void BM_Link_Frames(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int encoding = static_cast<int>(state.range(1));
  ZEPFrame frame(true, true);
  frame.SetDefaultConnBandwidth(1 << 30);
  frame.Service();
  Counter c;
  RecvNode* rx = new RecvNode(&frame, &c);
  rx->SetBandwidth(UINT_MAX);
  frame.AddNode(rx, true);
  SendNode* tx = new SendNode(&frame);
  tx->SetBandwidth(UINT_MAX);
  frame.AddNode(tx, false);
  int server = frame.CreateServer("127.0.0.1", "0", ZEP_PROTO_TCP);
  frame.AddTCPEvent(rx, server, 0);
  int sock = frame.CreateClient("127.0.0.1", std::to_string(frame.GetLocalPort(server)).c_str(),
                                ZEP_PROTO_TCP);
  NoDelay(sock);
  const std::string data = Payload(size);
  uint64_t sent = 0;
  int64_t wire = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i) {
      if (tx->SendCmd(sock, sent, 100, data.data(), static_cast<unsigned short>(size), encoding) !=
          0) {
        state.SkipWithError("send failed");
        break;
      }
      ++sent;
    }
    if (!c.WaitFor(sent)) {
      state.SkipWithError("frames lost");
      break;
    }
  }
  wire = static_cast<int64_t>(sent) * static_cast<int64_t>(size);
  state.SetItemsProcessed(static_cast<int64_t>(sent));
  state.SetBytesProcessed(wire);
  frame.ClearNode(sock, true);
  frame.ExitFrame();
  frame.WaitServiceStop();
}
BENCHMARK(BM_Link_Frames)
    ->ArgsProduct({{1024, 4096}, {CTT_PLAIN, CTT_ZIP, CTT_DES}})
    ->ArgNames({"size", "enc"})
    ->UseRealTime();

void BM_Raw_Frames(benchmark::State& state) {
  const size_t piece = static_cast<size_t>(state.range(0)) + 16;
  int txs, rxs, ls;
  benchutil::RawTcpPair(&txs, &rxs, &ls);
  NoDelay(txs);
  Counter c;
  std::thread reader([&] {
    char buf[1024];
    for (;;) {
      ssize_t n = read(rxs, buf, sizeof(buf));
      if (n <= 0) break;
      c.Add(static_cast<uint64_t>(n));
    }
  });
  const std::string data = Payload(piece);
  uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i) {
      size_t done = 0;
      while (done < piece) {
        ssize_t n = send(txs, data.data() + done, piece - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      sent += piece;
    }
    if (!c.WaitFor(sent)) {
      state.SkipWithError("stream broken");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(sent / piece));
  state.SetBytesProcessed(static_cast<int64_t>(sent / piece) * state.range(0));
  close(txs);
  reader.join();
  close(rxs);
  close(ls);
}
BENCHMARK(BM_Raw_Frames)->Arg(1024)->Arg(4096)->ArgName("size")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
