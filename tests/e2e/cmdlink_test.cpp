// cmdlink's two modes against each other, and against peers of the test's own
// that write frames byte by byte or send what is no frame at all.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cmd/cmdframe.h"
#include "e2e_util.h"

namespace e2e {
namespace {

std::string Cmdlink() { return BinDir() + "/cmdlink"; }

// A running `cmdlink serve`; stopped with SIGTERM at the end, which must
// give status 0.
class Serve {
 public:
  explicit Serve(std::vector<std::string> extra = {}) : out_(dir_.path() + "/serve.out") {
    std::vector<std::string> args = {Cmdlink(), "serve"};
    args.insert(args.end(), extra.begin(), extra.end());
    started_ = proc_.Start(args, out_);
    WaitFor(
        [&] {
          const std::string text = ReadFile(out_);
          const size_t at = text.find("listening port=");
          if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
          port_ = std::atoi(text.c_str() + at + 15);
          return true;
        },
        10000);
  }
  ~Serve() { Stop(); }
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    int status = -1;
    EXPECT_TRUE(proc_.Signal(SIGTERM));
    EXPECT_TRUE(proc_.Wait(10000, status));
    EXPECT_EQ(0, status) << Output();
  }
  bool Ready() const { return started_ && port_ > 0; }
  int port() const { return port_; }
  std::string Output() const { return ReadFile(out_); }
  bool Running() { return proc_.Running(); }

 private:
  TempDir dir_;
  std::string out_;
  Process proc_;
  bool started_ = false;
  bool stopped_ = false;
  int port_ = 0;
};

// Runs `cmdlink send` to completion; returns its status and output.
int Send(int port, std::vector<std::string> extra, std::string& output) {
  TempDir dir;
  const std::string out = dir.path() + "/send.out";
  std::vector<std::string> args = {Cmdlink(),   "send",   "--host",
                                   "127.0.0.1", "--port", std::to_string(port)};
  args.insert(args.end(), extra.begin(), extra.end());
  Process p;
  if (!p.Start(args, out)) return -1;
  int status = -1;
  if (!p.Wait(20000, status)) return -2;
  output = ReadFile(out);
  return status;
}

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// One connection's receiving side: the decoder and the bytes read but not
// yet decoded.
struct Reader {
  ZEPCmdDecoder dec;
  std::string pending;
};

// Reads until a frame with a code other than the heartbeat decodes, or `ms`.
// Heartbeats seen on the way are counted.
bool ReadEcho(int s, Reader& r, int ms, int* heartbeats = nullptr) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  ZEPCmdDecoder& dec = r.dec;
  std::string& pending = r.pending;
  for (;;) {
    while (!pending.empty()) {
      int used = 0;
      int rc = dec.Feed(pending.data(), static_cast<int>(pending.size()), &used);
      pending.erase(0, static_cast<size_t>(used));
      if (rc != ZEPCmdDecoder::kFrame) continue;
      if (dec.Frame()->m_nCode != 1) return true;
      if (heartbeats) ++*heartbeats;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
    char buf[1024];
    ssize_t n = read(s, buf, sizeof(buf));
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

TEST(Cmdlink, EveryEncodingEchoesOverOneConnection) {
  Serve serve;
  ASSERT_TRUE(serve.Ready()) << serve.Output();
  for (int e : {0, 2, 3, 4}) {
    std::string out;
    const std::string data = "hello " + std::to_string(e) + " world";
    ASSERT_EQ(0, Send(serve.port(), {"--encoding", std::to_string(e), "--count", "20", data}, out))
        << out;
    for (int seq = 0; seq < 20; ++seq) {
      const std::string line = "echo code=100 seq=" + std::to_string(seq) +
                               " enc=" + std::to_string(e) + " len=" + std::to_string(data.size()) +
                               " data=" + data + "\n";
      EXPECT_NE(std::string::npos, out.find(line)) << line << out;
    }
    EXPECT_EQ(20u, CountOf(out, "echo "));
  }
  const std::string text = serve.Output();
  for (int e : {0, 2, 3, 4})
    EXPECT_EQ(20u, CountOf(text, "enc=" + std::to_string(e) + " len=")) << text;
  EXPECT_NE(std::string::npos, text.find("recv code=100 seq=19 enc=4 len=13\n"));
}

TEST(Cmdlink, ServerEncodingKeyAndCodeOptions) {
  Serve serve({"--encoding", "3", "--key", "0123456789abcdef", "--no-checksum"});
  ASSERT_TRUE(serve.Ready()) << serve.Output();
  std::string out;
  ASSERT_EQ(0,
            Send(serve.port(),
                 {"--key", "0123456789ABCDEF", "--encoding", "2", "--code", "7", "123456789"}, out))
      << out;
  EXPECT_NE(std::string::npos, out.find("echo code=7 seq=0 enc=3 len=9 data=123456789\n")) << out;
  // The default key on one side: the data does not survive the trip.
  ASSERT_EQ(0, Send(serve.port(), {"--encoding", "3", "123456789"}, out)) << out;
  EXPECT_EQ(std::string::npos, out.find("data=123456789\n")) << out;
  // Empty data is a command too.
  ASSERT_EQ(0, Send(serve.port(), {""}, out)) << out;
  EXPECT_NE(std::string::npos, out.find("echo code=100 seq=0 enc=3 len=0 data=\n")) << out;
}

TEST(Cmdlink, PeerWritingByteByByteGetsItsEchoesAndHeartbeats) {
  Serve serve({"--hb-span", "1"});
  ASSERT_TRUE(serve.Ready()) << serve.Output();
  for (int encoding : {CTT_ZIP, CTT_ZIP_DES, CTT_PLAIN}) {
    int s = Connect(serve.port());
    ASSERT_GE(s, 0);
    ZEPCmdEncoder enc;
    Reader reader;
    ZEPCmdDecoder& dec = reader.dec;
    int heartbeats = 0;
    for (uint32_t seq = 0; seq < 3; ++seq) {
      const std::string data(100 + seq, static_cast<char>('a' + seq));
      char frame[kGeneralCmdSize];
      const int n =
          enc.Encode(seq, 42, data.data(), static_cast<uint16_t>(data.size()), encoding, frame);
      ASSERT_GT(n, 0);
      for (int i = 0; i < n; ++i) ASSERT_EQ(1, write(s, frame + i, 1));
      ASSERT_TRUE(ReadEcho(s, reader, 10000, &heartbeats)) << serve.Output();
      EXPECT_EQ(42, dec.Frame()->m_nCode);
      EXPECT_EQ(seq, dec.Frame()->m_nSeq);
      EXPECT_EQ(encoding, dec.Frame()->m_nEncoding);
      EXPECT_EQ(data, std::string(dec.Frame()->m_Data, dec.Frame()->m_nPayload));
    }
    if (encoding == CTT_PLAIN) {
      // Nothing but heartbeats for a while: at least one per second.
      ReadEcho(s, reader, 2500, &heartbeats);
      EXPECT_GE(heartbeats, 1);
    }
    close(s);
  }
}

TEST(Cmdlink, ServerSurvivesWhatIsNoFrameAndEndsSilentPeers) {
  Serve serve({"--die-span", "2"});
  ASSERT_TRUE(serve.Ready()) << serve.Output();
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    int s = Connect(serve.port());
    ASSERT_GE(s, 0);
    std::string junk(1 + rng() % 9000, '\0');
    for (auto& c : junk) c = static_cast<char>(rng());
    if (round == 0) junk = std::string("\x00\x00", 2);                           // length 0
    if (round == 1) junk = std::string("\x00\x0f", 2) + "abc";                   // length 15
    if (round == 2) junk = std::string("\x10\x91", 2) + std::string(5000, 'x');  // 4241
    // A peer that stops writing may see its connection reset: fine.
    ssize_t ignored = write(s, junk.data(), junk.size());
    (void)ignored;
    close(s);
  }
  // A silent peer is let go after the die span.
  int silent = Connect(serve.port());
  ASSERT_GE(silent, 0);
  const auto start = Clock::now();
  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 10000));
  char b;
  EXPECT_LE(read(silent, &b, 1), 0);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 1.5);
  close(silent);
  EXPECT_TRUE(serve.Running());
  std::string out;
  EXPECT_EQ(0, Send(serve.port(), {"--encoding", "4", "still here"}, out)) << out;
}

TEST(Cmdlink, SendFailsCleanlyWithoutAGoodServer) {
  // Nobody listening.
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
  socklen_t len = sizeof(a);
  getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  std::string out;
  EXPECT_EQ(1, Send(port, {"x"}, out)) << out;
  // A server that answers with garbage: no echo, status 1, no crash.
  ASSERT_EQ(0, listen(l, 4));
  std::thread peer([&] {
    pollfd p{l, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return;
    int s = accept(l, nullptr, nullptr);
    std::string junk(3000, '\x7f');
    ssize_t ignored = write(s, junk.data(), junk.size());
    (void)ignored;
    char buf[256];
    while (read(s, buf, sizeof(buf)) > 0) {
    }
    close(s);
  });
  const auto start = Clock::now();
  EXPECT_EQ(1, Send(port, {"x"}, out)) << out;
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 15.0);
  peer.join();
  close(l);
  // Command line mistakes.
  EXPECT_EQ(2, Send(port, {"--encoding", "1", "x"}, out)) << out;
  EXPECT_EQ(2, Send(port, {"--key", "12345", "x"}, out)) << out;
  EXPECT_EQ(2, Send(port, {}, out)) << out;
}

}  // namespace
}  // namespace e2e
