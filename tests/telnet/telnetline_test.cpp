// The console's input state machine fed in chunks: line ends, echo, erasing,
// telnet commands and the line limit.
#include "telnet/telnetline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Fed {
  std::string echo;
  std::vector<std::string> lines;
  std::vector<bool> tooLong;
};

// Feeds every chunk in turn, collecting echo and ended lines.
Fed FeedAll(CTelnetInput& in, const std::vector<std::string>& chunks) {
  Fed out;
  for (const std::string& chunk : chunks) {
    const char* p = chunk.data();
    size_t left = chunk.size();
    for (;;) {
      size_t used = 0;
      ZEPString echo;
      CTelnetInput::Result r = in.Feed(p, left, used, echo);
      EXPECT_LE(used, left);
      out.echo.append(echo.GetSafeText(), echo.GetLength());
      p += used;
      left -= used;
      if (r == CTelnetInput::kNeedMore) break;
      out.lines.emplace_back(in.GetLine().GetSafeText(), in.GetLine().GetLength());
      out.tooLong.push_back(r == CTelnetInput::kTooLong);
    }
    EXPECT_EQ(0u, left);
  }
  return out;
}

TEST(TelnetInput, PasswordInSeveralPacketsEndsOnlyAtItsLineEndAndIsNeverEchoed) {
  CTelnetInput in;
  Fed f = FeedAll(in, {"se", "c", "ret"});
  EXPECT_TRUE(f.lines.empty());
  EXPECT_EQ("secret", std::string(in.GetPartial().GetSafeText()));
  f = FeedAll(in, {"\r\n"});
  ASSERT_EQ(1u, f.lines.size());
  EXPECT_EQ("secret", f.lines[0]);
  EXPECT_EQ("", f.echo);
}

TEST(TelnetInput, LineEndsAreEchoedAsCrLfWhicheverFormTheyCameIn) {
  CTelnetInput in;
  in.SetEcho(true);
  // A bare CR gets its LF added; the LF or NUL that follows a CR, even in the
  // next packet, belongs to that line end and starts no empty line.
  Fed f = FeedAll(in, {"ls\r", "\n", std::string("pwd\r\0", 5), "who\r\n", "bare\n", "\r"});
  EXPECT_EQ((std::vector<std::string>{"ls", "pwd", "who", "bare", ""}), f.lines);
  EXPECT_EQ("ls\r\npwd\r\nwho\r\nbare\r\n\r\n", f.echo);
  // Several lines in one packet come out one at a time.
  f = FeedAll(in, {std::string("a\rb\r\nc\n", 7)});
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), f.lines);
}

TEST(TelnetInput, EraseTakesTheLastByteAndOnAnEmptyLineSendsNothing) {
  CTelnetInput in;
  in.SetEcho(true);
  Fed f = FeedAll(in, {"\b", "\x7f"});
  EXPECT_EQ("", f.echo);
  f = FeedAll(in, {"ab", "\b", "c\x7f\x7f", "\b", "x\r"});
  EXPECT_EQ((std::vector<std::string>{"x"}), f.lines);
  EXPECT_EQ("ab\b \bc\b \b\b \bx\r\n", f.echo);
}

TEST(TelnetInput, TelnetCommandsAndZeroBytesNeverReachTheLineOrTheEcho) {
  CTelnetInput in;
  in.SetEcho(true);
  // What a telnet client opens with (DO/WILL options), a subnegotiation whose
  // payload holds a CR, an escaped 255, NUL bytes, and an IAC split across
  // packets.
  const char kOpen[] = "\xff\xfd\x03\xff\xfb\x18\xff\xfa\x18\x00\r\xff\xff\x01\xff\xf0";
  const std::string open(kOpen, sizeof(kOpen) - 1);
  Fed f = FeedAll(in, {open, std::string("p\0w\xff", 4), "\xff", "d\xff", "\xfb", "\x01\r"});
  ASSERT_EQ(1u, f.lines.size());
  EXPECT_EQ("pwd", f.lines[0]);
  EXPECT_EQ("pwd\r\n", f.echo);
  // Two-byte commands (NOP, AYT) are skipped too.
  f = FeedAll(in, {"\xff\xf1x\xff\xf6y\r"});
  EXPECT_EQ((std::vector<std::string>{"xy"}), f.lines);
}

TEST(TelnetInput, LongLinesStopAtTheLimitAndAreFlagged) {
  CTelnetInput in(16);
  in.SetEcho(true);
  const std::string big(4096, 'z');  // a full read without a line end
  Fed f = FeedAll(in, {big, big + "\r", "ok\r"});
  ASSERT_EQ(2u, f.lines.size());
  EXPECT_EQ(std::string(16, 'z'), f.lines[0]);
  EXPECT_TRUE(f.tooLong[0]);
  EXPECT_EQ("ok", f.lines[1]);
  EXPECT_FALSE(f.tooLong[1]);
  // Only what was kept is echoed.
  EXPECT_EQ(std::string(16, 'z') + "\r\nok\r\n", f.echo);
  size_t used = 7;
  ZEPString echo;
  EXPECT_EQ(CTelnetInput::kNeedMore, in.Feed(nullptr, 10, used, echo));
  EXPECT_EQ(0u, used);
}

}  // namespace
