// The console's input state machine fed in chunks: line ends, echo, erasing,
// telnet commands and the line limit; and its option negotiation, alone and
// through the input, hostile sequences included.
#include "telnet/telnetline.h"

#include <gtest/gtest.h>

#include <cstdint>
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
  // The client's WILL is refused (DONT), its DO SGA takes the offer.
  const char kOpen[] = "\xff\xfd\x03\xff\xfb\x18\xff\xfa\x18\x00\r\xff\xff\x01\xff\xf0";
  const std::string open(kOpen, sizeof(kOpen) - 1);
  Fed f = FeedAll(in, {open, std::string("p\0w\xff", 4), "\xff", "d\xff", "\xfb", "\x01\r"});
  ASSERT_EQ(1u, f.lines.size());
  EXPECT_EQ("pwd", f.lines[0]);
  EXPECT_EQ("\xff\xfe\x18pwd\xff\xfe\x01\r\n", f.echo);
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

// What counts as typing at the password prompt: only a byte that went into
// the line or came out of it. The prefix is fed first and not counted.
TEST(TelnetInput, OnlyBytesThatChangeTheLineCountAsTyping) {
  struct Case {
    const char* what;
    std::string prefix;
    std::string bytes;
    uint64_t edits;
  };
  const std::vector<Case> cases = {
      {"NUL", "", std::string(3, '\0'), 0},
      {"IAC NOP and IAC IAC", "", "\xff\xf1\xff\xff", 0},
      {"option requests", "", "\xff\xfd\x18\xff\xfb\x1f\xff\xfe\x01", 0},
      {"subnegotiation with text inside", "",
       std::string("\xff\xfa\x18\x00"
                   "abc\xff\xf0",
                   9),
       0},
      {"command split across chunks", "\xff", "\xf1", 0},
      {"erase on an empty line", "", "\b\x7f", 0},
      {"bytes past the limit", std::string(8, 'x'), "yyy", 0},
      {"LF and NUL ending a CR", "pw\r", std::string("\n", 1), 0},
      {"one byte typed", "", "a", 1},
      {"typed then erased", "", "ab\b", 3},
      {"erase of an earlier byte", "ab", "\x7f", 1},
      {"typed between commands", "", std::string("\0\xff\xf1q\xff\xfd\x18", 8), 1},
  };
  for (const Case& c : cases) {
    CTelnetInput in(8);
    FeedAll(in, {c.prefix});
    const uint64_t before = in.GetEdits();
    FeedAll(in, {c.bytes});
    EXPECT_EQ(c.edits, in.GetEdits() - before) << c.what;
  }
}

std::string Cmd(unsigned char verb, unsigned char option) {
  return std::string{static_cast<char>(0xff), static_cast<char>(verb), static_cast<char>(option)};
}

std::string Times(int n, const std::string& s) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

const unsigned char kTtype = 24;

TEST(TelnetOptions, OffersEchoAndSgaAndAnswersOnlyChangesNeverAnAnswer) {
  ZEPString offer;
  CTelnetOptions::AppendOffer(offer);
  EXPECT_EQ(Cmd(TELNET_WILL, TELNET_OPT_ECHO) + Cmd(TELNET_WILL, TELNET_OPT_SGA),
            std::string(offer.GetSafeText(), offer.GetLength()));
  struct Case {
    const char* what;
    std::string requests;  // IAC verb option, as a client sends them
    std::string answers;
    CTelnetOptions::State echo, sga;
  };
  const std::string doEcho = Cmd(TELNET_DO, TELNET_OPT_ECHO);
  const std::string dontEcho = Cmd(TELNET_DONT, TELNET_OPT_ECHO);
  const Case cases[] = {
      {"no answer yet (a raw client)", "", "", CTelnetOptions::kWantYes, CTelnetOptions::kWantYes},
      {"the client agrees: nothing more is said", doEcho + Cmd(TELNET_DO, TELNET_OPT_SGA), "",
       CTelnetOptions::kYes, CTelnetOptions::kYes},
      {"the client refuses the offer: a refusal is not acknowledged",
       dontEcho + Cmd(TELNET_DONT, TELNET_OPT_SGA), "", CTelnetOptions::kNo, CTelnetOptions::kNo},
      {"agreed, turned off (acknowledged), asked for again (agreed)", doEcho + dontEcho + doEcho,
       Cmd(TELNET_WONT, TELNET_OPT_ECHO) + Cmd(TELNET_WILL, TELNET_OPT_ECHO), CTelnetOptions::kYes,
       CTelnetOptions::kWantYes},
      {"a flood of DO for an option that is on", Times(500, doEcho), "", CTelnetOptions::kYes,
       CTelnetOptions::kWantYes},
      {"a flood of DONT: one acknowledgement", doEcho + Times(500, dontEcho),
       Cmd(TELNET_WONT, TELNET_OPT_ECHO), CTelnetOptions::kNo, CTelnetOptions::kWantYes},
      {"a flood of DO and DONT for an option the console lacks: one refusal",
       Times(300, Cmd(TELNET_DO, kTtype) + Cmd(TELNET_DONT, kTtype)), Cmd(TELNET_WONT, kTtype),
       CTelnetOptions::kWantYes, CTelnetOptions::kWantYes},
      {"the client's own side: WILL refused once, WONT ignored, ECHO included",
       Times(300, Cmd(TELNET_WILL, kTtype) + Cmd(TELNET_WONT, kTtype)) +
           Cmd(TELNET_WILL, TELNET_OPT_ECHO) + Cmd(TELNET_WILL, TELNET_OPT_ECHO),
       Cmd(TELNET_DONT, kTtype) + Cmd(TELNET_DONT, TELNET_OPT_ECHO), CTelnetOptions::kWantYes,
       CTelnetOptions::kWantYes},
      {"options 0 and 255, and a byte that is no request verb",
       Cmd(TELNET_DO, 0) + Cmd(TELNET_DO, 255) + Cmd(TELNET_WILL, 255) + Cmd(TELNET_SB, 1),
       Cmd(TELNET_WONT, 0) + Cmd(TELNET_WONT, 255) + Cmd(TELNET_DONT, 255),
       CTelnetOptions::kWantYes, CTelnetOptions::kWantYes},
  };
  for (const Case& c : cases) {
    CTelnetOptions opt;
    ZEPString out;
    for (size_t i = 0; i + 2 < c.requests.size(); i += 3)
      opt.Receive(static_cast<unsigned char>(c.requests[i + 1]),
                  static_cast<unsigned char>(c.requests[i + 2]), out);
    const std::string answers(out.GetSafeText(), out.GetLength());
    EXPECT_EQ(c.answers, answers) << c.what;
    EXPECT_LE(answers.size(), c.requests.size()) << c.what;
    EXPECT_EQ(c.echo, opt.GetOurs(TELNET_OPT_ECHO)) << c.what;
    EXPECT_EQ(c.sga, opt.GetOurs(TELNET_OPT_SGA)) << c.what;
    EXPECT_EQ(c.echo != CTelnetOptions::kNo, opt.IsEchoing()) << c.what;
    EXPECT_EQ(CTelnetOptions::kNo, opt.GetOurs(kTtype)) << c.what;
  }
}

// Hostile byte sequences through the whole input, in one chunk and one byte
// per chunk (as a telnet client in character mode sends keys): both give the
// same lines and the same bytes back.
TEST(TelnetInput, HostileNegotiationGivesTheSameResultInAnyChunks) {
  struct Case {
    const char* what;
    bool echo;  // command mode, else the password prompt
    std::string input;
    std::vector<std::string> lines;
    std::string out;
  };
  const std::string iac(1, static_cast<char>(0xff));
  const Case cases[] = {
      {"keys one by one, the telnet client's answer first, CR NUL",
       true,
       Cmd(TELNET_DO, TELNET_OPT_ECHO) + Cmd(TELNET_DO, TELNET_OPT_SGA) + std::string("ab\r\0", 4),
       {"ab"},
       "ab\r\n"},
      {"the password: only answers go back",
       false,
       Cmd(TELNET_DO, TELNET_OPT_ECHO) + Cmd(TELNET_WILL, kTtype) + "pw\r\n",
       {"pw"},
       Cmd(TELNET_DONT, kTtype)},
      {"a client that turns the echo off echoes locally: the console is quiet",
       true,
       Cmd(TELNET_DO, TELNET_OPT_ECHO) + Cmd(TELNET_DONT, TELNET_OPT_ECHO) + "ab\b\r" +
           Cmd(TELNET_DO, TELNET_OPT_ECHO) + "c\r",
       {"a", "c"},
       Cmd(TELNET_WONT, TELNET_OPT_ECHO) + Cmd(TELNET_WILL, TELNET_OPT_ECHO) + "c\r\n"},
      {"IAC IAC is an escaped 255, dropped; a lone IAC ends the input",
       true,
       "a" + iac + iac + "b\r" + iac,
       {"ab"},
       "ab\r\n"},
      {"a request cut after its verb",
       true,
       "x\r" + iac + static_cast<char>(TELNET_DO),
       {"x"},
       "x\r\n"},
      {"a subnegotiation without its end swallows every line after it",
       true,
       "ok\r" + iac + static_cast<char>(TELNET_SB) + "\x18lost\r\nlost too\r" + iac + iac + "\r" +
           Times(100, Cmd(TELNET_DO, kTtype)),
       {"ok"},
       "ok\r\n"},
      {"a subnegotiation's end lets the next line through",
       true,
       iac + static_cast<char>(TELNET_SB) + "\x1f\x00\x50" + iac + iac + iac +
           static_cast<char>(TELNET_SE) + "up\r",
       {"up"},
       "up\r\n"},
      {"a flood of DO/DONT for one option in a full read: one answer",
       true,
       Times(1365, Cmd(TELNET_DONT, TELNET_OPT_ECHO)) + Times(1365, Cmd(TELNET_DO, 5)) + "z\r",
       {"z"},
       Cmd(TELNET_WONT, 5)},
  };
  for (const Case& c : cases) {
    for (int perByte = 0; perByte < 2; ++perByte) {
      CTelnetInput in;
      in.SetEcho(c.echo);
      std::vector<std::string> chunks;
      if (perByte != 0) {
        for (char ch : c.input) chunks.emplace_back(1, ch);
      } else {
        chunks.push_back(c.input);
      }
      Fed f = FeedAll(in, chunks);
      EXPECT_EQ(c.lines, f.lines) << c.what << (perByte ? ", one byte per chunk" : "");
      EXPECT_EQ(c.out, f.echo) << c.what << (perByte ? ", one byte per chunk" : "");
    }
  }
}

}  // namespace
