// The shared test support on its own: a helper that quietly passes or hangs
// would make every test that leans on it worthless.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/proto/scramble.h"
#include "log/zeplog.h"
#include "support/childprocess.h"
#include "support/files.h"
#include "support/logcapture.h"
#include "support/scriptedserver.h"
#include "support/tempdir.h"
#include "support/udpsocket.h"
#include "support/waitfor.h"

namespace {

TEST(SupportTempDir, EachIsFreshAndGoesWithEverythingInIt) {
  std::string kept;
  {
    zeptest::TempDir a;
    zeptest::TempDir b;
    EXPECT_NE(a.path(), b.path());
    EXPECT_EQ(a / "x", a.path() + "/x");
    ASSERT_EQ(0, mkdir((a / "sub").c_str(), 0700));
    ASSERT_EQ(0, mkdir((a / "sub/deeper").c_str(), 0500));  // not writable by the owner
    ASSERT_TRUE(zeptest::WriteFile(a / "sub/f", "data"));
    kept = a.path();
  }
  EXPECT_FALSE(zeptest::FileExists(kept));
}

TEST(SupportFiles, CountsSplitsReadsAndWrites) {
  const struct {
    const char* text;
    const char* what;
    size_t count;
  } kCounts[] = {
      {"aaaa", "aa", 2},                  // occurrences do not overlap
      {"xax", "x", 2},   {"abc", "", 0},  // an empty needle is nowhere (and ends)
      {"", "a", 0},      {"abc", "abcd", 0},
  };
  for (const auto& c : kCounts) EXPECT_EQ(c.count, zeptest::CountOf(c.text, c.what)) << c.text;

  const struct {
    const char* text;
    std::vector<std::string> lines;
  } kSplits[] = {
      {"a\nb", {"a", "b"}}, {"a\n", {"a"}}, {"", {}}, {"\n\n", {"", ""}}, {"a\r\n", {"a\r"}},
  };
  for (const auto& c : kSplits) EXPECT_EQ(c.lines, zeptest::SplitLines(c.text)) << c.text;

  zeptest::TempDir dir;
  const std::string bytes("\0\xff\n\r", 4);
  ASSERT_TRUE(zeptest::WriteFile(dir / "f", bytes));
  EXPECT_EQ(bytes, zeptest::ReadFile(dir / "f"));
  EXPECT_FALSE(zeptest::WriteFile(dir / "missing/f", "x"));
  EXPECT_EQ("", zeptest::ReadFile(dir / "missing/f"));
}

void LogInfo(const char* text) {
  ZEPString line(text);
  ZEPLogLine(__FILE__, __LINE__, LOG_INFO, line);
}

TEST(SupportLogCapture, NestedCapturesEachRestoreTheLogTheyFound) {
  ZEPLog* const before = zeplog;
  {
    zeptest::LogCapture outer;
    {
      zeptest::LogCapture inner;
      LogInfo("to the inner");
      EXPECT_EQ(1, inner.Count("INFO", "to the inner"));
      EXPECT_EQ(1u, inner.Lines().size());
    }
    LogInfo("to the outer");
    EXPECT_EQ(0, outer.Count("INFO", "to the inner"));
    EXPECT_EQ(1, outer.Count("INFO", "to the outer"));
    EXPECT_EQ(0, outer.Count("WARN", "to the outer"));
    EXPECT_EQ(1u, zeptest::CountOf(outer.Text(), "to the outer\n"));
    {
      ZEPLog quiet;
      zeptest::ScopedLog use(&quiet);
      LogInfo("to neither");
    }
    EXPECT_EQ(0u, zeptest::CountOf(outer.Text(), "to neither"));
  }
  EXPECT_EQ(before, zeplog);
}

// A Process that was never started has no child to wait for: waiting on it
// must not reap (and so steal the exit of) another Process's child.
TEST(SupportProcess, WaitingOnANeverStartedProcessLeavesOtherChildrenAlone) {
  zeptest::TempDir dir;
  zeptest::Process child;
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "exit 3"}, dir / "out"));
  zeptest::Process never;
  int status = 0;
  EXPECT_FALSE(never.Wait(300, status));
  EXPECT_FALSE(never.Running());
  ASSERT_TRUE(child.Wait(10000, status));
  EXPECT_EQ(3, status);
  EXPECT_FALSE(child.Running());
}

// A look with no time left still looks: a check that no login waits must be
// able to fail.
TEST(SupportFakeServer, ALoginAlreadyWaitingIsSeenWithoutWaiting) {
  InitDes(g_CredentialKey);
  zeptest::FakeServer server;
  ASSERT_NE(0, server.main.port());
  std::string inner;
  sockaddr_in from{};
  EXPECT_FALSE(server.RecvLogin(inner, from, 0));
  zeptest::UdpLink client(static_cast<uint16_t>(server.main.port()));
  ASSERT_TRUE(client.Send("C=2"));  // not a login: passed over
  ASSERT_TRUE(client.Send(zeptest::Props(
      {{"C", "1"}, {"Data", zeptest::Scramble(zeptest::Props({{"UserName", "alice"}}))}})));
  ASSERT_TRUE(
      zeptest::WaitFor([&] { return zeptest::UdpBytesQueued(server.main.port()) > 0; }, 5000));
  ASSERT_TRUE(zeptest::WaitFor([&] { return server.RecvLogin(inner, from, 0); }, 5000));
  EXPECT_EQ("alice", zeptest::Prop(inner, "UserName"));
  EXPECT_EQ(client.LocalPort(), zeptest::SourcePort(from));
}

}  // namespace
