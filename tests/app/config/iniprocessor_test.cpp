#include "app/config/iniprocessor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Show(const ZEPString& s) {
  return s.IsNull() ? std::string("<null>") : std::string(s.GetText(), s.GetLength());
}

// Every callback appends "tag(arg1|arg2|arg3)" here; the tag tells which
// registration was chosen.
std::vector<std::string> g_calls;
void* g_user;

std::string Call(const char* tag, const ZEPString& a, const ZEPString& b, const ZEPString& c) {
  return std::string(tag) + "(" + Show(a) + "|" + Show(b) + "|" + Show(c) + ")";
}

const char* const kTags[] = {"sec", "any", "exact", "secitems", "name", "named"};
template <int N>
void Tagged(ZEPString a, ZEPString b, ZEPString c, void* user) {
  g_user = user;
  g_calls.push_back(Call(kTags[N], a, b, c));
}
const INIAssignProc OnSec = &Tagged<0>, OnAny = &Tagged<1>, OnExact = &Tagged<2>,
                    OnSecItems = &Tagged<3>, OnNameAnywhere = &Tagged<4>, OnNamedSec = &Tagged<5>;

// A processor over `text` written to a scratch file, with the entry point's
// registrations ("*" and "*.*") unless told otherwise.
class ScratchIni {
 public:
  explicit ScratchIni(const std::string& text) {
    char tmpl[] = "/tmp/iniprocessor_test.XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    path_ = tmpl;
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    g_calls.clear();
  }
  ~ScratchIni() { unlink(path_.c_str()); }
  const char* Path() const { return path_.c_str(); }

 private:
  std::string path_;
};

std::vector<std::string> ProcessText(const std::string& text) {
  ScratchIni f(text);
  CINIProcessor ini{ZEPString(f.Path())};
  ini.AddAssign("*", OnSec);
  ini.AddAssign("*.*", OnAny);
  EXPECT_EQ(ini.Process(nullptr), 0);
  return g_calls;
}

// Collects what the plain parser reports.
class Recorder : public CINIVisitor {
 public:
  void OnSection(const ZEPString& name) override { calls.push_back("[" + Show(name) + "]"); }
  void OnItem(const ZEPString& s, const ZEPString& n, const ZEPString& v) override {
    calls.push_back(Show(s) + "." + Show(n) + "=" + Show(v));
  }
  std::vector<std::string> calls;
};

std::vector<std::string> Walk(const std::string& text) {
  ZEPString section;
  Recorder r;
  WalkIniText(text.data(), static_cast<uint32_t>(text.size()), section, r);
  return r.calls;
}

using V = std::vector<std::string>;

}  // namespace

TEST(CINIProcessorTest, HeadersAndItemsReachTheirCallbacks) {
  int user = 0;
  ScratchIni f("Stray = before any header\n[DYR_CLIENT]\nHost = example\nKey\na=b=c\n=skipped\n");
  CINIProcessor ini{ZEPString(f.Path())};
  EXPECT_TRUE(ini.IsLoaded());
  EXPECT_EQ(ini.AddAssign("*", OnSec), 0);
  EXPECT_EQ(ini.AddAssign("*.*", OnAny), 0);
  EXPECT_EQ(ini.Process(&user), 0);
  EXPECT_EQ(g_calls, (V{"sec(DYR_CLIENT||)", "any(DYR_CLIENT|Host|example)", "any(DYR_CLIENT|Key|)",
                        "any(DYR_CLIENT|a|b=c)"}));
  EXPECT_EQ(g_user, &user);
}

TEST(CINIProcessorTest, KeysChooseTheBestMatchOnly) {
  ScratchIni f("[A]\nHost=1\nPort=2\n[B]\nHost=3\nPort=4\nOther=5\n[C]\nOther=6\n");
  CINIProcessor ini{ZEPString(f.Path())};
  EXPECT_EQ(ini.AddAssign("*.*", OnAny), 0);
  EXPECT_EQ(ini.AddAssign("A.Host", OnExact), 0);
  EXPECT_EQ(ini.AddAssign("B.*", OnSecItems), 0);
  EXPECT_EQ(ini.AddAssign("*.Port", OnNameAnywhere), 0);
  EXPECT_EQ(ini.AddAssign("*", OnSec), 0);
  EXPECT_EQ(ini.AddAssign("C", OnNamedSec), 0);
  // Duplicates are refused and the first registration stays; so is a null callback.
  EXPECT_EQ(ini.AddAssign("A.Host", OnAny), -1);
  EXPECT_EQ(ini.AddAssign("x", nullptr), -1);
  EXPECT_EQ(ini.Process(nullptr), 0);
  EXPECT_EQ(g_calls,
            (V{"sec(A||)", "exact(A|Host|1)", "name(A|Port|2)", "sec(B||)", "secitems(B|Host|3)",
               "secitems(B|Port|4)", "secitems(B|Other|5)", "named(C||)", "any(C|Other|6)"}));
  // Keys compare case-sensitively.
  ScratchIni g("[a]\nhost=1\n");
  CINIProcessor lower{ZEPString(g.Path())};
  lower.AddAssign("A.Host", OnExact);
  lower.AddAssign("*.*", OnAny);
  lower.Process(nullptr);
  EXPECT_EQ(g_calls, (V{"any(a|host|1)"}));
  // Unmatched items and headers are dropped silently.
  ScratchIni h("[S]\nx=1\n");
  CINIProcessor none{ZEPString(h.Path())};
  none.AddAssign("T.x", OnExact);
  EXPECT_EQ(none.Process(nullptr), 0);
  EXPECT_TRUE(g_calls.empty());
}

TEST(CINIProcessorTest, HeaderRecognition) {
  EXPECT_EQ(ProcessText("[]\n[ x ]\nk=v\n"), (V{"sec(x||)", "any(x|k|v)"}));
  EXPECT_TRUE(CINIProcessor::IsSection("  [a]  "));
  EXPECT_TRUE(CINIProcessor::IsSection("[ ]"));
  EXPECT_FALSE(CINIProcessor::IsSection("[]"));
  EXPECT_FALSE(CINIProcessor::IsSection("[a]\r"));
  EXPECT_FALSE(CINIProcessor::IsSection("\t[a]"));
  EXPECT_FALSE(CINIProcessor::IsSection(ZEPString()));
  // A repeated header and a repeated item are each reported every time.
  EXPECT_EQ(ProcessText("[S]\nk=1\nk=2\n[S]\n"),
            (V{"sec(S||)", "any(S|k|1)", "any(S|k|2)", "sec(S||)"}));
  // No comment syntax: ";" and "#" lines are items.
  EXPECT_EQ(ProcessText("[S]\n;c\n# d = e\n"), (V{"sec(S||)", "any(S|;c|)", "any(S|# d|e)"}));
}

TEST(CINIProcessorTest, OnlySpacesAreTrimmedAndCarriageReturnsStay) {
  // CR-LF ends: every line keeps its "\r", so no header is recognised.
  EXPECT_EQ(ProcessText("[S]\r\nk=v\r\n"), V{});
  EXPECT_EQ(Walk("[S]\nk = v\r\n\tt=\tx \n"), (V{"[S]", "S.k=v\r", "S.\tt=\tx"}));
  // No trailing newline, blank lines, lines of spaces.
  EXPECT_EQ(Walk("\n   \n[S]\n\n  k  =  v  "), (V{"[S]", "S.k=v"}));
}

TEST(CINIProcessorTest, ContinuationLines) {
  EXPECT_EQ(Walk("[S]\nk = a \\\n  more\n"), (V{"[S]", "S.k=a more"}));
  EXPECT_EQ(Walk("[S]\nk=a\\\nb\\\nc\nnext=1\n"), (V{"[S]", "S.k=abc", "S.next=1"}));
  // A joined blank line is consumed; the following line is its own again.
  EXPECT_EQ(Walk("[S]\nk=a\\\n\nm=1"), (V{"[S]", "S.k=a", "S.m=1"}));
  // "\" on the last line, with or without a newline after it.
  EXPECT_EQ(Walk("[S]\nk=a\\"), (V{"[S]", "S.k=a"}));
  EXPECT_EQ(Walk("[S]\nk=a\\\n"), (V{"[S]", "S.k=a"}));
  EXPECT_EQ(Walk("[S]\n\\"), (V{"[S]"}));
  EXPECT_EQ(Walk("[S]\n\\\n\\\n\\"), (V{"[S]"}));
  // A header can be joined too.
  EXPECT_EQ(Walk("[S\\\n]\nk=1"), (V{"[S]", "S.k=1"}));
}

TEST(CINIProcessorTest, SectionPersistsBetweenRuns) {
  ScratchIni f("k=0\n[S]\nk=1\n");
  CINIProcessor ini{ZEPString(f.Path())};
  ini.AddAssign("*", OnSec);
  ini.AddAssign("*.*", OnAny);
  EXPECT_EQ(ini.Process(nullptr), 0);
  EXPECT_EQ(g_calls, (V{"sec(S||)", "any(S|k|1)"}));
  g_calls.clear();
  // The second run starts from the first line again, now inside section S.
  EXPECT_EQ(ini.Process(nullptr), 0);
  EXPECT_EQ(g_calls, (V{"any(S|k|0)", "sec(S||)", "any(S|k|1)"}));
}

TEST(CINIProcessorTest, LoadingRules) {
  // Missing file: not loaded, Process reports it and calls nothing.
  CINIProcessor missing{ZEPString("/nonexistent/dyrclient.ini")};
  missing.AddAssign("*", OnSec);
  EXPECT_FALSE(missing.IsLoaded());
  g_calls.clear();
  EXPECT_EQ(missing.Process(nullptr), -1);
  EXPECT_TRUE(g_calls.empty());
  CINIProcessor nullPath{ZEPString()};
  EXPECT_EQ(nullPath.Process(nullptr), -1);
  // An empty file is loaded and yields nothing.
  ScratchIni empty("");
  CINIProcessor e{ZEPString(empty.Path())};
  e.AddAssign("*", OnSec);
  EXPECT_TRUE(e.IsLoaded());
  EXPECT_EQ(e.Process(nullptr), 0);
  EXPECT_TRUE(g_calls.empty());
  // LoadIniFile loads once; a failed load is reported and may be retried.
  ScratchIni f("[S]\n");
  CINIProcessor late;
  EXPECT_EQ(late.Process(nullptr), -1);
  EXPECT_EQ(late.LoadIniFile("/nonexistent/x.ini"), -1);
  EXPECT_FALSE(late.IsLoaded());
  EXPECT_EQ(late.LoadIniFile(f.Path()), 0);
  EXPECT_EQ(late.LoadIniFile(f.Path()), -1);
  late.AddAssign("*", OnSec);
  EXPECT_EQ(late.Process(nullptr), 0);
  EXPECT_EQ(g_calls, (V{"sec(S||)"}));
  // Text instead of a file: a copy is kept, and it loads once as well.
  std::string text = "[T]\n";
  CINIProcessor fromText;
  EXPECT_EQ(fromText.LoadIniText(nullptr, 3), -1);
  EXPECT_FALSE(fromText.IsLoaded());
  EXPECT_EQ(fromText.LoadIniText(text.data(), static_cast<uint32_t>(text.size())), 0);
  EXPECT_EQ(fromText.LoadIniText(text.data(), static_cast<uint32_t>(text.size())), -1);
  text = "[X]\n";
  fromText.AddAssign("*", OnSec);
  g_calls.clear();
  EXPECT_EQ(fromText.Process(nullptr), 0);
  EXPECT_EQ(g_calls, (V{"sec(T||)"}));
}

TEST(CINIProcessorTest, OddBytesAndLongLines) {
  // Zero bytes are ordinary bytes of the line.
  std::string nul("[S]\nk\0x=v\0w\n", 12);
  EXPECT_EQ(Walk(nul), (V{"[S]", std::string("S.k\0x=v\0w", 9)}));
  // Lines far over 64 KiB, also built by joining.
  std::string big(200000, 'v');
  EXPECT_EQ(Walk("[S]\nk=" + big + "\n"), (V{"[S]", "S.k=" + big}));
  std::string joined = "[S]\nk=";
  for (int i = 0; i < 5000; ++i) joined += "abcdefghijklmnop\\\n";
  V calls = Walk(joined);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].size(), 4u + 5000 * 16);
  // Null text has no lines.
  ZEPString section;
  Recorder r;
  WalkIniText(nullptr, 5, section, r);
  EXPECT_TRUE(r.calls.empty());
  EXPECT_TRUE(section.IsNull());
}

TEST(CINIProcessorTest, HostileInputNeverBreaksTheWalk) {
  // Random, truncated and bit-flipped texts: the walk must end without a
  // sanitizer report, every reported name and value is trimmed and holds no
  // newline, and names are never empty. A failing seed is printed.
  std::string seedText = "[DYR_CLIENT]\nHost = a\\\n b\nUserName=x=y\r\n[ s ]\n;c\n=v\n\\";
  for (unsigned seed = 1; seed <= 2000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::string text;
    switch (seed % 3) {
      case 0:  // random bytes drawn mostly from the grammar's own
        text.resize(rng() % 600);
        for (char& c : text) c = "[]=\\\n\r \t\0ab"[rng() % 12];
        break;
      case 1:  // truncated
        text = seedText.substr(0, rng() % (seedText.size() + 1));
        break;
      default:  // bit-flipped
        text = seedText;
        for (int k = 0; k < 3; ++k)
          text[rng() % text.size()] ^= static_cast<char>(1 << (rng() % 8));
    }
    class Checker : public CINIVisitor {
     public:
      void OnSection(const ZEPString& name) override { Check(name, true); }
      void OnItem(const ZEPString& s, const ZEPString& n, const ZEPString& v) override {
        EXPECT_FALSE(s.IsNull());
        Check(n, false);
        Check(v, true);
      }
      void Check(const ZEPString& t, bool mayBeEmpty) {
        std::string x = Show(t);
        EXPECT_NE(x, "<null>");
        EXPECT_TRUE(mayBeEmpty || !x.empty());
        EXPECT_EQ(x.find('\n'), std::string::npos);
        EXPECT_TRUE(x.empty() || (x.front() != ' ' && x.back() != ' '));
      }
    } checker;
    ZEPString section;
    WalkIniText(text.data(), static_cast<uint32_t>(text.size()), section, checker);
    if (HasFailure()) {
      std::string esc;
      for (unsigned char c : text) {
        char b[8];
        std::snprintf(b, sizeof b, (c >= 32 && c < 127 && c != '\\') ? "%c" : "\\x%02x", c);
        esc += b;
      }
      FAIL() << "seed " << seed << " input \"" << esc << "\"";
    }
  }
}
