// Fuzz target of the console's input state machine (telnet/telnetline.h)
// and its option negotiation (telnet/telnetopt.h). The first byte picks the
// chunk size (1..64) and the line limit, the rest is what a client sends,
// fed in those chunks. Checked on every step: the machine takes no more than
// it was given, a kept line never passes the limit nor holds an IAC, CR, LF
// or NUL byte; every IAC sent back begins a whole answer (IAC WILL/WONT/DO/
// DONT option), never a typed byte; password mode, and command mode after
// the client turned the echo off, send back answers only; answers never
// outnumber the requests (three bytes each) taken; only the offered options
// (ECHO, SUPPRESS-GO-AHEAD) are ever agreed to (WILL), and every other
// option is refused at most once per side.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "telnet/telnetline.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_telnet: %s\n", what);
  std::abort();
}

bool Holds(const ZEPString& s, unsigned char c) {
  return s.GetLength() > 0 && std::memchr(s.GetSafeText(), c, s.GetLength()) != nullptr;
}

bool Offered(unsigned char option) { return option == TELNET_OPT_ECHO || option == TELNET_OPT_SGA; }

// What came back in one step: answers are counted per verb and option, and
// `typed` says whether any other byte came back.
struct Back {
  size_t answers = 0;
  bool typed = false;
};

Back Parse(const ZEPString& out, unsigned (&refusals)[2][256]) {
  Back b;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(out.GetSafeText());
  const size_t n = out.GetLength();
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != TELNET_IAC) {
      b.typed = true;
      continue;
    }
    Check(i + 2 < n, "an answer cut short");
    const unsigned char verb = p[i + 1], option = p[i + 2];
    Check(verb >= TELNET_WILL && verb <= TELNET_DONT, "IAC echoed, or no answer verb");
    Check(verb != TELNET_WILL || Offered(option), "agreed to an option never offered");
    if (verb == TELNET_DONT || (verb == TELNET_WONT && !Offered(option)))
      Check(++refusals[verb == TELNET_DONT ? 1 : 0][option] == 1, "an option refused twice");
    Check(verb != TELNET_DO, "asked the client for an option");
    ++b.answers;
    i += 2;
  }
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + (data[0] & 63);
  const size_t limit = (data[0] & 64) ? 8 : TELNET_MAX_LINE;
  const bool startInPassword = (data[0] & 128) != 0;
  ++data;
  --size;
  CTelnetInput in(limit);
  in.SetEcho(!startInPassword);
  size_t lines = 0, taken = 0, answers = 0;
  unsigned refusals[2][256] = {};
  for (size_t off = 0; off < size;) {
    const size_t n = size - off < chunk ? size - off : chunk;
    const char* p = reinterpret_cast<const char*>(data + off);
    size_t left = n;
    while (left > 0) {
      size_t used = 0;
      ZEPString out;
      const bool echoing = in.IsEcho() && in.GetOptions().IsEchoing();
      const CTelnetInput::Result r = in.Feed(p, left, used, out);
      Check(used <= left, "took more than it was given");
      Check(used > 0 || r == CTelnetInput::kNeedMore, "a line ended on no byte");
      const Back back = Parse(out, refusals);
      // A request in this step may have turned the echo off or on, also one
      // whose IAC came in an earlier step (only its option byte came now).
      const bool echoingAfter = in.IsEcho() && in.GetOptions().IsEchoing();
      if (std::memchr(p, 0xff, used) == nullptr && echoing == echoingAfter)
        Check(!back.typed || echoing, "echoed while the echo is off");
      Check(in.IsEcho() || !back.typed, "password mode echoed");
      taken += used;
      answers += back.answers;
      Check(answers * 3 <= taken, "more answers than requests");
      Check(in.GetPartial().GetLength() <= limit, "partial line past the limit");
      p += used;
      left -= used;
      if (r == CTelnetInput::kNeedMore) {
        Check(left == 0, "stopped with bytes left");
        break;
      }
      const ZEPString& line = in.GetLine();
      Check(line.GetLength() <= limit, "line past the limit");
      Check(!Holds(line, 0xff) && !Holds(line, '\r') && !Holds(line, '\n') && !Holds(line, 0),
            "line holds a telnet command or line-end byte");
      // After the first line (the password) the console echoes.
      if (++lines == 1) in.SetEcho(true);
    }
    off += n;
  }
  return 0;
}
