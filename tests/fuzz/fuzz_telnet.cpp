// Fuzz target of the console's input state machine (telnet/telnetline.h).
// The first byte picks the chunk size (1..64) and the line limit, the rest is
// what a client sends, fed in those chunks. Checked on every step: the
// machine takes no more than it was given, a kept line never passes the
// limit nor holds an IAC, CR, LF or NUL byte, password mode echoes nothing,
// and the echo of a chunk never holds an IAC byte.
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
  size_t lines = 0;
  for (size_t off = 0; off < size;) {
    const size_t n = size - off < chunk ? size - off : chunk;
    const char* p = reinterpret_cast<const char*>(data + off);
    size_t left = n;
    while (left > 0) {
      size_t used = 0;
      ZEPString echo;
      const CTelnetInput::Result r = in.Feed(p, left, used, echo);
      Check(used <= left, "took more than it was given");
      Check(used > 0 || r == CTelnetInput::kNeedMore, "a line ended on no byte");
      Check(!Holds(echo, 0xff), "IAC echoed");
      Check(in.IsEcho() || echo.IsEmpty(), "password mode echoed");
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
