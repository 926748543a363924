// cmdlink — a command link that people can run: "serve" echoes commands over
// heartbeat links, "send" sends some and waits for their echoes.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdlink.h"
#include "frame/zepframe.h"

namespace {

const char kUsage[] =
    "usage: cmdlink serve [--bind ADDR] [--port N] [--encoding E] [--key HEX16]\n"
    "                     [--hb-span S] [--die-span S] [--no-checksum]\n"
    "       cmdlink send --host H --port N [--encoding E] [--key HEX16] [--code C]\n"
    "                    [--count K] DATA\n"
    "E is 0 (plain), 2 (zlib), 3 (DES) or 4 (zlib, then DES); HEX16 is the 8-byte\n"
    "DES key as 16 hexadecimal digits.\n";

const int kEchoWaitMs = 10000;

int Usage(const char* why) {
  std::fprintf(stderr, "cmdlink: %s\n%s", why, kUsage);
  return 2;
}

// Whole decimal number in [lo, hi].
bool ParseNumber(const char* s, long lo, long hi, long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseKey(const char* s, unsigned char key[8]) {
  if (s == nullptr || std::strlen(s) != 16) return false;
  for (int i = 0; i < 8; ++i) {
    unsigned v = 0;
    for (int j = 0; j < 2; ++j) {
      const char c = s[2 * i + j];
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    key[i] = static_cast<unsigned char>(v);
  }
  return true;
}

bool ParseEncoding(const char* s, long* out) {
  return ParseNumber(s, CTT_PLAIN, CTT_ZIP_DES, out) && *out != CTT_BAD_ZIP;
}

// SIGTERM and SIGINT are blocked before the frame starts its threads, so
// they inherit the mask and only sigwait below sees the signals.
sigset_t BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

void StopFrame(ZEPFrame* frame) {
  frame->ExitFrame();
  frame->WaitServiceStop();
  delete frame;
}

int Serve(int argc, char** argv) {
  ServeOptions opts;
  std::string bind = "127.0.0.1";
  std::string port = "0";
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = (i + 1 < argc) ? argv[i + 1] : nullptr;
    long n = 0;
    if (a == "--no-checksum") {
      opts.bCheckSum = false;
      continue;
    }
    if (v == nullptr) return Usage(("missing value after " + a).c_str());
    ++i;
    if (a == "--bind") {
      bind = v;
    } else if (a == "--port" && ParseNumber(v, 0, 65535, &n)) {
      port = v;
    } else if (a == "--encoding" && ParseEncoding(v, &n)) {
      opts.nEncoding = static_cast<int>(n);
    } else if (a == "--key" && ParseKey(v, opts.key)) {
      opts.bKey = true;
    } else if (a == "--hb-span" && ParseNumber(v, 1, 86400, &n)) {
      opts.nHBSpan = n;
    } else if (a == "--die-span" && ParseNumber(v, 1, 86400, &n)) {
      opts.nDieSpan = n;
    } else {
      return Usage(("bad option or value: " + a + " " + v).c_str());
    }
  }
  sigset_t stop = BlockStopSignals();
  ZEPFrame* frame = new ZEPFrame(true, true);
  frame->Service();
  EchoListener* listener = new EchoListener(frame, opts);
  if (frame->AddNode(listener, true) != 0) {
    listener->DestroyMe();
    StopFrame(frame);
    return 1;
  }
  const int server = frame->CreateServer(bind.c_str(), port.c_str(), ZEP_PROTO_TCP);
  if (server < 0 || frame->AddTCPEvent(listener, server, 0) != 0) {
    std::fprintf(stderr, "cmdlink: cannot listen on %s:%s\n", bind.c_str(), port.c_str());
    if (server >= 0) frame->ClearNode(server, true);
    StopFrame(frame);
    return 1;
  }
  std::printf("listening port=%d\n", frame->GetLocalPort(server));
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  StopFrame(frame);
  return 0;
}

int Send(int argc, char** argv) {
  std::string host;
  std::string port;
  long encoding = CTT_PLAIN, code = 100, count = 1;
  unsigned char key[8];
  bool haveKey = false;
  const char* data = nullptr;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.compare(0, 2, "--") != 0) {
      if (data != nullptr) return Usage("more than one DATA");
      data = argv[i];
      continue;
    }
    const char* v = (i + 1 < argc) ? argv[i + 1] : nullptr;
    long n = 0;
    if (v == nullptr) return Usage(("missing value after " + a).c_str());
    ++i;
    if (a == "--host") {
      host = v;
    } else if (a == "--port" && ParseNumber(v, 1, 65535, &n)) {
      port = v;
    } else if (a == "--encoding" && ParseEncoding(v, &encoding)) {
    } else if (a == "--key" && ParseKey(v, key)) {
      haveKey = true;
    } else if (a == "--code" && ParseNumber(v, 0, 65535, &code)) {
    } else if (a == "--count" && ParseNumber(v, 1, 1000000, &count)) {
    } else {
      return Usage(("bad option or value: " + a + " " + v).c_str());
    }
  }
  if (host.empty() || port.empty() || data == nullptr)
    return Usage("send needs --host, --port and DATA");
  if (code == kHeartbeatCode) return Usage("code 1 is the heartbeat");
  const size_t len = std::strlen(data);
  if (len > static_cast<size_t>(kCmdMaxData)) return Usage("DATA is longer than 4096 bytes");

  BlockStopSignals();
  ZEPFrame* frame = new ZEPFrame(true, true);
  frame->Service();
  SendClient* client = new SendClient(frame, static_cast<int>(count));
  client->SetServerHostPort(host.c_str(), port.c_str());
  if (haveKey) client->SetDesKey(key);
  SmartPtr<SendClient> hold(client);  // read below after the frame let go of it
  bool ok = frame->AddNode(client, true) == 0 && client->WaitConnected(kEchoWaitMs);
  if (!ok) std::fprintf(stderr, "cmdlink: cannot connect to %s:%s\n", host.c_str(), port.c_str());
  for (long seq = 0; ok && seq < count; ++seq) {
    ok = client->SendCmd(static_cast<unsigned long>(seq), static_cast<unsigned short>(code), data,
                         static_cast<unsigned short>(len), static_cast<int>(encoding)) == 0;
    if (!ok) std::fprintf(stderr, "cmdlink: send failed at seq=%ld\n", seq);
  }
  if (ok) {
    ok = client->WaitEchoes(kEchoWaitMs);
    if (!ok) std::fprintf(stderr, "cmdlink: not every echo came back within 10 s\n");
  }
  hold.Release();
  StopFrame(frame);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no mode");
  const std::string mode = argv[1];
  if (mode == "serve") return Serve(argc - 2, argv + 2);
  if (mode == "send") return Send(argc - 2, argv + 2);
  if (mode == "-h" || mode == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return Usage("mode is serve or send");
}
