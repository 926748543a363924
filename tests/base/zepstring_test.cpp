#include "base/zepstring.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/plants.h"
#include "support/tempdir.h"

namespace {

// What a ZEPString holds, with null text shown as "<null>" so a null/empty
// mix-up is visible in a failure message.
std::string Show(const ZEPString& s) {
  return s.IsNull() ? std::string("<null>") : std::string(s.GetText(), s.GetLength());
}

// The tokens of `text` split by `delim`, ending at the first null token.
std::vector<std::string> Tokens(const char* text, const char* delim) {
  ZEPString s(text);
  std::vector<std::string> out;
  for (ZEPString t = s.GetFirstToken(delim); !t.IsNull(); t = s.GetNextToken()) {
    out.push_back(Show(t));
    if (out.size() > 100) break;  // a tokenizer that never ends fails, not hangs
  }
  return out;
}

// The bytes of `path`, "<missing>" when there is no such file: an empty file
// and a missing one must not look alike.
std::string StringFileText(const std::string& path) {
  return zeptest::FileExists(path) ? zeptest::ReadFile(path) : "<missing>";
}

}  // namespace

TEST(ZEPStringTest, NullTextIsNotEmptyText) {
  ZEPString null;
  ZEPString empty("");
  EXPECT_TRUE(null.IsNull());
  EXPECT_FALSE(null == "");
  EXPECT_TRUE(empty == "");
  EXPECT_FALSE(null == empty);
  EXPECT_TRUE(null == ZEPString());
  EXPECT_TRUE(null == static_cast<const char*>(nullptr));
  EXPECT_FALSE(empty == static_cast<const char*>(nullptr));
  // Null sorts first; nothing is less than null.
  EXPECT_TRUE(null < "");
  EXPECT_FALSE(empty < null);
  EXPECT_FALSE(null < null);
  EXPECT_TRUE(ZEPString("ab") < "b");
  EXPECT_TRUE(ZEPString("ab") < "abc");
  EXPECT_FALSE(ZEPString("\xb5") < "a");  // bytes compare unsigned, as strcmp does
  // Copies keep the distinction.
  ZEPString copy(null);
  EXPECT_TRUE(copy.IsNull());
  ZEPString copy2(empty);
  EXPECT_FALSE(copy2.IsNull());
  // Assigning null returns to null text with no buffer.
  ZEPString s("abc");
  s = static_cast<const char*>(nullptr);
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(s.GetCapacity(), 0u);
  // Appending null changes nothing; appending to null is an assignment.
  ZEPString t("x");
  t += static_cast<const char*>(nullptr);
  t << ZEPString();
  EXPECT_EQ(Show(t), "x");
  ZEPString u;
  u += "";
  EXPECT_FALSE(u.IsNull());
}

TEST(ZEPStringTest, GrowsInStepsOfSixtyFour) {
  ZEPString s(std::string(63, 'a').c_str());
  EXPECT_EQ(s.GetCapacity(), 64u);
  const char* before = s.GetText();
  s << 'b';
  EXPECT_EQ(s.GetCapacity(), 128u);
  EXPECT_NE(s.GetText(), before);
  EXPECT_EQ(s.GetLength(), 64u);
  EXPECT_EQ(Show(s), std::string(63, 'a') + "b");
  // Shorter text never shrinks the buffer.
  s = "x";
  EXPECT_EQ(s.GetCapacity(), 128u);
  // A custom step is honoured, whatever integer types give it.
  EXPECT_EQ(ZEPString(64u, 0).GetCapacity(), 0u);
  EXPECT_EQ(ZEPString(0, 8u).GetStep(), 0u);
  EXPECT_EQ(ZEPString(static_cast<size_t>(32), 5L).GetCapacity(), 5u);
  ZEPString t(10, 0);
  t = "0123456789ab";
  EXPECT_EQ(t.GetCapacity(), 20u);
  // Appending a string to itself survives the reallocation.
  ZEPString self(std::string(40, 'q').c_str());
  self += self;
  EXPECT_EQ(Show(self), std::string(80, 'q'));
  self = self.GetText() + 70;  // source inside the own buffer
  EXPECT_EQ(Show(self), std::string(10, 'q'));
}

TEST(ZEPStringTest, FixedBufferDropsWhatDoesNotFit) {
  ZEPString s(0, 8);
  EXPECT_FALSE(s.IsNull());
  s = "0123456789";
  EXPECT_EQ(Show(s), "01234567");
  EXPECT_EQ(s.GetLength(), 8u);
  EXPECT_EQ(s.GetCapacity(), 8u);
  s = "ab";
  s << "cdefghij" << 42;
  EXPECT_EQ(Show(s), "abcdefgh");
  // Null assignment clears the buffer but keeps it.
  const char* buf = s.GetText();
  s = static_cast<const char*>(nullptr);
  EXPECT_EQ(s.GetText(), buf);
  EXPECT_EQ(s.GetLength(), 0u);
  // Fill with 0 fills a fixed buffer to its capacity, a growing one not at all.
  s = "ab";
  s.Fill('-', 0);
  EXPECT_EQ(Show(s), "ab------");
  ZEPString g("ab");
  g.Fill('-', 0);
  EXPECT_EQ(Show(g), "ab");
  g.Fill('-', 3);
  EXPECT_EQ(Show(g), "ab---");
  ZEPString e("");
  e.Fill('-', 3);
  EXPECT_EQ(Show(e), "");
  // A released fixed buffer takes no more text, and never crashes.
  s.ReleaseBuf();
  EXPECT_TRUE(s.IsNull());
  s = "abc";
  EXPECT_EQ(Show(s), "");
}

TEST(ZEPStringTest, StreamsNumbersWithoutTruncation) {
  ZEPString s;
  s << "n=" << 42 << ' ' << -7 << ' ' << 3000000000u << ' ' << static_cast<short>(-3) << ' '
    << static_cast<unsigned short>(65535) << ' ' << static_cast<unsigned char>('z') << '\0';
  EXPECT_EQ(Show(s), "n=42 -7 3000000000 -3 65535 z");
  s = "";
  s << LONG_MIN << ' ' << ULONG_MAX << ' ' << LLONG_MAX << ' ' << ULLONG_MAX << ' ' << INT64_MIN
    << ' ' << static_cast<uint64_t>(1) << ' ' << static_cast<size_t>(5000000000ull);
  // long and size_t are 32 bits on 32-bit hosts: whatever their width, all of it.
  EXPECT_EQ(Show(s), std::to_string(LONG_MIN) + " " + std::to_string(ULONG_MAX) +
                         " 9223372036854775807 18446744073709551615 -9223372036854775808 1 " +
                         std::to_string(static_cast<size_t>(5000000000ull)));
  s = "";
  s << 1.5;
  EXPECT_EQ(Show(s), "1.500000");
  // Pointers keep all their bits.
  s = "";
  const bool wide = sizeof(void*) == 8;
  s << reinterpret_cast<const void*>(
      static_cast<uintptr_t>(wide ? 0x123456789abcull : 0x89abcdefu));
  EXPECT_EQ(Show(s), wide ? "0x123456789abc" : "0x89abcdef");
  s = "";
  s << static_cast<const void*>(nullptr);
  EXPECT_EQ(Show(s), "0x00000000");
  s = "";
  s << reinterpret_cast<uintptr_t>(
      reinterpret_cast<void*>(static_cast<uintptr_t>(wide ? 0xfedcba9876543210ull : 0xfedcba98u)));
  EXPECT_EQ(Show(s), wide ? "18364758544493064720" : "4275878552");
  // The largest doubles come out whole, neither cut nor overrunning.
  s = "";
  s << -1.7976931348623157e308;
  EXPECT_EQ(s.GetLength(), 1u + 309 + 7);
  EXPECT_EQ(Show(s).substr(0, 6), "-17976");
  EXPECT_EQ(Show(s).substr(s.GetLength() - 7), ".000000");
}

TEST(ZEPStringTest, ConcatenationKeepsNullRules) {
  ZEPString null, a("a"), b("b");
  EXPECT_TRUE((null + null).IsNull());
  EXPECT_EQ(Show(null + a), "a");
  EXPECT_EQ(Show(a + null), "a");
  EXPECT_EQ(Show(a + b), "ab");
  EXPECT_EQ(Show("x" + a), "xa");
  EXPECT_EQ(Show(a + "y"), "ay");
  EXPECT_EQ(Show(static_cast<const char*>(nullptr) + null), "<null>");
  EXPECT_EQ(Show(null + ""), "");
}

TEST(ZEPStringTest, SubstrAndIndexStayInside) {
  ZEPString abc("abc");
  EXPECT_EQ(Show(abc.Substr(5, 3)), "");
  EXPECT_EQ(Show(abc.Substr(3, 1)), "");
  EXPECT_EQ(Show(abc.Substr(1, 0)), "");
  EXPECT_EQ(Show(abc.Substr(1, 100)), "bc");
  EXPECT_EQ(Show(abc.Substr(1, UINT_MAX)), "bc");
  EXPECT_EQ(Show(abc.Substr(0, 2)), "ab");
  EXPECT_TRUE(ZEPString().Substr(0, 1).IsNull());
  EXPECT_EQ(abc[3], ' ');
  EXPECT_EQ(abc[UINT_MAX], ' ');
  EXPECT_EQ(ZEPString()[0], ' ');
  abc[1] = 'X';
  EXPECT_EQ(Show(abc), "aXc");
  // Writing through the spare does not change later out-of-range reads.
  abc[9] = 'Q';
  EXPECT_EQ(abc[9], ' ');
  EXPECT_EQ(Show(abc), "aXc");
}

TEST(ZEPStringTest, TrimsSpacesOnlyAndCasesAsciiOnly) {
  ZEPString s("  a b  ");
  s.Trim();
  EXPECT_EQ(Show(s), "a b");
  ZEPString tab("\ta");
  tab.Trim();
  EXPECT_EQ(Show(tab), "\ta");
  ZEPString cr("x \r");
  cr.Trim();
  EXPECT_EQ(Show(cr), "x \r");
  ZEPString l("  a "), r("  a ");
  l.Ltrim();
  r.Rtrim();
  EXPECT_EQ(Show(l), "a ");
  EXPECT_EQ(Show(r), "  a");
  ZEPString blanks("    ");
  blanks.Trim();
  EXPECT_EQ(Show(blanks), "");
  ZEPString null;
  null.Trim();
  EXPECT_TRUE(null.IsNull());

  ZEPString mixed("AbZ@[`{z\xc4\xe3");
  mixed.ToLower();
  EXPECT_EQ(Show(mixed), "abz@[`{z\xc4\xe3");
  mixed.ToUpper();
  EXPECT_EQ(Show(mixed), "ABZ@[`{Z\xc4\xe3");

  EXPECT_TRUE(ZEPString("0123456789").IsDigit());
  EXPECT_FALSE(ZEPString("12a").IsDigit());
  EXPECT_FALSE(ZEPString("").IsDigit());
  EXPECT_FALSE(ZEPString().IsDigit());
  EXPECT_FALSE(ZEPString("-1").IsDigit());
}

TEST(ZEPStringTest, ReplaceScansLeftToRight) {
  ZEPString s("a,,b,");
  s.Replace(",", ";");
  EXPECT_EQ(Show(s), "a;;b;");
  ZEPString o("aaaa");
  o.Replace("aa", "a");
  EXPECT_EQ(Show(o), "aa");
  ZEPString grow("xx");
  grow.Replace("x", "yyy");
  EXPECT_EQ(Show(grow), "yyyyyy");
  ZEPString del("a-b-c");
  del.Replace("-", "");
  EXPECT_EQ(Show(del), "abc");
  ZEPString keep("abc");
  keep.Replace("", "x");
  keep.Replace(nullptr, "x");
  keep.Replace("b", nullptr);
  keep.Replace("zz", "x");
  EXPECT_EQ(Show(keep), "abc");
  ZEPString null;
  null.Replace("a", "b");
  EXPECT_TRUE(null.IsNull());
}

TEST(ZEPStringTest, TokenizerYieldsTrailingEmptyToken) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Tokens("a,b", ","), (V{"a", "b"}));
  EXPECT_EQ(Tokens("a,b,", ","), (V{"a", "b", ""}));
  EXPECT_EQ(Tokens(",a", ","), (V{"", "a"}));
  EXPECT_EQ(Tokens(",", ","), (V{"", ""}));
  EXPECT_EQ(Tokens("a,,b", ","), (V{"a", "", "b"}));
  EXPECT_EQ(Tokens("abc", ","), (V{"abc"}));
  // The whole multi-character delimiter is searched, not its characters.
  EXPECT_EQ(Tokens("a<>b<c><>", "<>"), (V{"a", "b<c>", ""}));
  EXPECT_EQ(Tokens("x\r\ny\r\n", "\r\n"), (V{"x", "y", ""}));
  EXPECT_EQ(Tokens("aaa", "aa"), (V{"", "a"}));
  // Empty text gives one "" and ends; null text and a bad delimiter give null.
  EXPECT_EQ(Tokens("", ","), (V{""}));
  ZEPString null;
  EXPECT_TRUE(null.GetFirstToken(",").IsNull());
  ZEPString s("a,b");
  EXPECT_TRUE(s.GetFirstToken("").IsNull());
  EXPECT_TRUE(s.GetNextToken().IsNull());
  EXPECT_TRUE(s.GetFirstToken(static_cast<const char*>(nullptr)).IsNull());
  EXPECT_TRUE(s.GetNextToken().IsNull());
  // A ZEPString delimiter, even the string itself.
  EXPECT_EQ(Show(s.GetFirstToken(ZEPString(","))), "a");
  EXPECT_EQ(Show(s.GetNextToken()), "b");
  EXPECT_EQ(Show(s.GetFirstToken(s)), "");
  EXPECT_EQ(Show(s.GetNextToken()), "");
  EXPECT_TRUE(s.GetNextToken().IsNull());
}

TEST(ZEPStringTest, TokenizerSurvivesTextChanges) {
  ZEPString s("a,b,c,d");
  EXPECT_EQ(Show(s.GetFirstToken(",")), "a");
  s = "x";  // shorter text under a running tokenizer
  EXPECT_EQ(Show(s.GetNextToken()), "");
  EXPECT_TRUE(s.GetNextToken().IsNull());
  // A stale step from an earlier text does not leak into an empty one.
  ZEPString t("a,b");
  t.GetFirstToken(",");
  t = "";
  EXPECT_EQ(Show(t.GetFirstToken(",")), "");
  EXPECT_TRUE(t.GetNextToken().IsNull());
  // The copy does not share tokenizer state.
  ZEPString u("1;2");
  u.GetFirstToken(";");
  ZEPString v(u);
  EXPECT_TRUE(v.GetNextToken().IsNull());
  EXPECT_EQ(Show(u.GetNextToken()), "2");
}

TEST(ZEPStringTest, FinderWalksMatches) {
  ZEPString s("abcabcab");
  char* p = s.FindFirst("ab");
  ASSERT_EQ(p, s.GetText());
  p = s.FindNext();
  ASSERT_EQ(p, s.GetText() + 3);
  p = s.FindNext();
  ASSERT_EQ(p, s.GetText() + 6);
  EXPECT_EQ(s.FindNext(), nullptr);
  EXPECT_EQ(s.FindNext(), nullptr);
  ZEPString aaa("aaaa");
  EXPECT_EQ(aaa.FindFirst("aa"), aaa.GetText());
  EXPECT_EQ(aaa.FindNext(), aaa.GetText() + 2);
  EXPECT_EQ(aaa.FindNext(), nullptr);
  EXPECT_EQ(s.FindFirst("zz"), nullptr);
  EXPECT_EQ(s.FindNext(), nullptr);
  EXPECT_EQ(s.FindFirst(""), nullptr);
  EXPECT_EQ(s.FindNext(), nullptr);
  EXPECT_EQ(s.FindFirst(nullptr), nullptr);
  ZEPString null;
  EXPECT_EQ(null.FindFirst("a"), nullptr);
  EXPECT_EQ(null.FindNext(), nullptr);
  ZEPString fresh("abc");
  EXPECT_EQ(fresh.FindNext(), nullptr);
}

TEST(ZEPStringTest, AdoptedBuffers) {
  char* owned = new char[4];
  std::memcpy(owned, "abc", 4);
  {
    ZEPString s(true, owned);  // freed by the string (checked by ASan)
    EXPECT_EQ(Show(s), "abc");
    EXPECT_EQ(s.GetCapacity(), 3u);
  }
  char borrowed[8] = "hello";
  {
    ZEPString s(false, borrowed);
    s = "hi";  // fits: written in place
    EXPECT_EQ(s.GetText(), borrowed);
    s << " there, longer";  // does not fit: moves to a buffer of its own
    EXPECT_NE(s.GetText(), borrowed);
    EXPECT_EQ(Show(s), "hi there, longer");
  }
  EXPECT_STREQ(borrowed, "hi");
  ZEPString none(true, nullptr);
  EXPECT_TRUE(none.IsNull());
}

TEST(ZEPStringTest, BytesIncludingZerosAreKept) {
  const char raw[] = {'a', '\0', 'b', '=', 'c'};
  ZEPString s = ZEPString::FromBytes(raw, sizeof raw);
  EXPECT_EQ(s.GetLength(), 5u);
  EXPECT_FALSE(s == "a");
  EXPECT_TRUE(s == ZEPString::FromBytes(raw, sizeof raw));
  EXPECT_EQ(Show(s.GetFirstToken("=")), std::string("a\0b", 3));
  EXPECT_EQ(Show(s.GetNextToken()), "c");
  ZEPString z = ZEPString::FromBytes(raw, 0);
  EXPECT_FALSE(z.IsNull());
  EXPECT_TRUE(ZEPString::FromBytes(nullptr, 5).IsNull());
}

TEST(ZEPStringTest, MoveLeavesSourceNullAndRespectsFixedBuffers) {
  ZEPString a("moved text");
  const char* buf = a.GetText();
  ZEPString b(std::move(a));
  EXPECT_EQ(b.GetText(), buf);
  EXPECT_TRUE(a.IsNull());  // NOLINT(bugprone-use-after-move): defined state
  ZEPString fixed(0, 4);
  fixed = ZEPString("overflowing");
  EXPECT_EQ(Show(fixed), "over");
  EXPECT_EQ(fixed.GetCapacity(), 4u);
  ZEPString c;
  c = std::move(b);
  EXPECT_EQ(Show(c), "moved text");
}

TEST(ZEPStringTest, SaveAppendAndLoadRoundTrip) {
  zeptest::TempDir dir;
  std::string path = dir / "f.txt";
  ZEPString s("line one\n");
  EXPECT_EQ(s.SaveToFile(path.c_str()), 0);
  ZEPString more("line two\n");
  EXPECT_EQ(more.AppendToFile(path.c_str()), 0);
  EXPECT_EQ(StringFileText(dir / "f.txt"), "line one\nline two\n");
  ZEPString back;
  EXPECT_EQ(back.LoadFromFile(path.c_str()), 0);
  EXPECT_EQ(Show(back), "line one\nline two\n");
  // A path held by the string itself survives the clearing of its text.
  ZEPString self(path.c_str());
  EXPECT_EQ(self.LoadFromFile(self.GetText()), 0);
  EXPECT_EQ(Show(self), "line one\nline two\n");
  // Null text truncates the file; appending null or "" does not even open it.
  ZEPString null;
  EXPECT_EQ(null.SaveToFile(path.c_str()), 0);
  EXPECT_EQ(StringFileText(dir / "f.txt"), "");
  EXPECT_EQ(null.AppendToFile((dir / "nodir/x").c_str()), 0);
  EXPECT_EQ(ZEPString("").AppendToFile((dir / "nodir/x").c_str()), 0);
  // The empty file loads as null text with success.
  ZEPString e("old");
  EXPECT_EQ(e.LoadFromFile(path.c_str()), 0);
  EXPECT_TRUE(e.IsNull());
}

TEST(ZEPStringTest, FileFailuresAreReported) {
  zeptest::TempDir dir;
  ZEPString s("old");
  EXPECT_EQ(s.LoadFromFile(nullptr), -1);
  EXPECT_EQ(s.LoadFromFile(""), -1);
  EXPECT_EQ(Show(s), "old");  // a bad path changes nothing
  EXPECT_EQ(s.LoadFromFile((dir / "missing").c_str()), -1);
  EXPECT_TRUE(s.IsNull());
  s = "x";
  EXPECT_EQ(s.LoadFromFile((dir / "").c_str()), -1);  // a directory
  EXPECT_TRUE(s.IsNull());
  EXPECT_EQ(s.LoadFromFile("/dev/zero"), -1);  // endless device
  // A FIFO without a writer fails at once instead of holding the caller.
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int rc = 0;
  EXPECT_TRUE(zeptest::ReturnsWithin([&] { rc = s.LoadFromFile(fifo.c_str()); }, 5000, fifo));
  EXPECT_EQ(rc, -1);
  s = "x";
  EXPECT_EQ(s.SaveToFile((dir / "nodir/f").c_str()), -1);
  EXPECT_EQ(s.AppendToFile((dir / "nodir/f").c_str()), -1);
  EXPECT_EQ(s.SaveToFile(nullptr), -1);
  EXPECT_EQ(s.SaveToFile("/dev/full"), -1);  // the full disk shows on flush
  if (geteuid() != 0) {
    ASSERT_TRUE(zeptest::WriteFile(dir / "secret", "data"));
    chmod((dir / "secret").c_str(), 0);
    EXPECT_EQ(s.LoadFromFile((dir / "secret").c_str()), -1);
  }
}

TEST(ZEPStringTest, LoadKeepsEveryByte) {
  zeptest::TempDir dir;
  std::string bytes;
  std::mt19937 rng(7);
  for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>(rng()));
  bytes[0] = '\0';
  bytes[1024] = '\0';
  ASSERT_TRUE(zeptest::WriteFile(dir / "bin", bytes));
  ZEPString s;
  ASSERT_EQ(s.LoadFromFile((dir / "bin").c_str()), 0);
  ASSERT_EQ(s.GetLength(), bytes.size());
  EXPECT_EQ(std::memcmp(s.GetText(), bytes.data(), bytes.size()), 0);
  EXPECT_EQ(s.GetText()[s.GetLength()], '\0');
  ASSERT_EQ(s.SaveToFile((dir / "copy").c_str()), 0);
  EXPECT_EQ(StringFileText(dir / "copy"), bytes);
  // A fixed buffer takes what fits.
  ZEPString fixed(0, 10);
  ASSERT_EQ(fixed.LoadFromFile((dir / "bin").c_str()), 0);
  EXPECT_EQ(Show(fixed), bytes.substr(0, 10));
}

TEST(ZEPStringTest, LoadRefusesFilesBeyondTheLengthLimit) {
  zeptest::TempDir dir;
  // A sparse file: nothing is written to disk, and nothing must be read.
  std::string path = dir / "huge";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(ZEPString::kMaxLength) + 1), 0);
  std::fclose(f);
  ZEPString s("old");
  EXPECT_EQ(s.LoadFromFile(path.c_str()), -1);
  EXPECT_TRUE(s.IsNull());
}

TEST(ZEPStringTest, HostileLoadAndTokenize) {
  // Random, truncated and bit-flipped files go through the loader and the
  // tokenizer; a failing seed is printed so it can be replayed.
  zeptest::TempDir dir;
  std::string path = dir / "fuzz";
  const char* delims[] = {"\n", "=", "\r\n", "\\", "\x01", "ab"};
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string bytes(rng() % 2000, '\0');
    for (char& c : bytes) c = "ab=\n\r\\ \x01\0x"[rng() % 10];
    if (seed % 3 == 0 && !bytes.empty()) bytes.resize(rng() % bytes.size());
    if (seed % 5 == 0 && !bytes.empty()) bytes[rng() % bytes.size()] ^= 1 << (rng() % 8);
    ASSERT_TRUE(zeptest::WriteFile(dir / "fuzz", bytes));
    ZEPString s;
    ASSERT_EQ(s.LoadFromFile(path.c_str()), 0);
    ASSERT_EQ(s.GetLength(), bytes.size());
    const char* d = delims[seed % 6];
    // Joining the tokens with the delimiter gives the text back.
    std::string joined;
    size_t count = 0;
    for (ZEPString t = s.GetFirstToken(d); !t.IsNull(); t = s.GetNextToken()) {
      if (count++) joined += d;
      joined += Show(t);
      ASSERT_LE(count, bytes.size() + 1);
    }
    ASSERT_EQ(joined, bytes);
  }
}
