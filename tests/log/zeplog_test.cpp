#include "log/zeplog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/zepmultithread.h"
#include "support/files.h"
#include "support/plants.h"
#include "support/tempdir.h"

namespace {

// "YYMMDD HHMMSS:TAG:" at the start of the line.
bool IsStamped(const std::string& line) {
  if (line.size() < 19) return false;
  for (int i = 0; i < 13; ++i) {
    if (i == 6 ? line[i] != ' ' : !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  std::string tag = line.substr(13, 6);
  return tag == ":MESG:" || tag == ":INFO:" || tag == ":WARN:" || tag == ":ERRR:";
}

// Time stamp prefix ("YYMMDD HHMMSS") for a moment.
std::string Stamp(time_t when) {
  struct tm t {};
  localtime_r(&when, &t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d %02d%02d%02d", t.tm_year - 100, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

TEST(ZEPLogFormatTest, StampTagsAndFileInfo) {
  struct tm t {};
  t.tm_year = 109;  // 2009
  t.tm_mon = 2;     // March
  t.tm_mday = 14;
  t.tm_hour = 8;
  t.tm_min = 15;
  t.tm_sec = 2;
  char buf[128];
  int n = ZEPFormatLogLine(buf, sizeof buf, t, false, "dyrclient", 42, ZEPLogTag(LOG_INFO), "hi");
  EXPECT_STREQ("090314 081502:INFO:hi", buf);
  EXPECT_EQ(21, n);
  ZEPFormatLogLine(buf, sizeof buf, t, true, "dyrclient", 42, ZEPLogTag(LOG_WARN), "hi");
  EXPECT_STREQ("090314 081502:[dyrclient,42]:WARN:hi", buf);
  // The length needed is reported even when the buffer is too small.
  EXPECT_EQ(21, ZEPFormatLogLine(buf, 4, t, false, "x", 1, "INFO", "hi"));
  EXPECT_STREQ("090", buf);

  EXPECT_STREQ("MESG", ZEPLogTag(LOG_MESG));
  EXPECT_STREQ("INFO", ZEPLogTag(LOG_INFO));
  EXPECT_STREQ("WARN", ZEPLogTag(LOG_WARN));
  EXPECT_STREQ("ERRR", ZEPLogTag(LOG_ERRR));
  EXPECT_STREQ("UNKN", ZEPLogTag(4));
  EXPECT_STREQ("UNKN", ZEPLogTag(-1));
}

TEST(ZEPLogTest, FreshFileIsCreatedExistingFileIsContinued) {
  zeptest::TempDir dir;
  std::string fresh = dir / "fresh.log";
  {
    ZEPLog log(fresh.c_str());
    EXPECT_TRUE(zeptest::FileExists(fresh));
  }
  std::string path = dir / "dyrclient.log";
  zeptest::WriteFile(path, "earlier line\n");
  ZEPLog log(path.c_str());
  time_t before = time(nullptr);
  log.Log(__FILE__, __LINE__, LOG_INFO, "hello");
  time_t after = time(nullptr);
  std::string text = zeptest::ReadFile(path);
  ASSERT_EQ(0u, text.rfind("earlier line\n", 0)) << "start-up truncated the log";
  std::string line = text.substr(13);
  std::string stamp = line.substr(0, 13);
  EXPECT_TRUE(stamp == Stamp(before) || stamp == Stamp(after)) << line;
  EXPECT_EQ(":INFO:hello\n", line.substr(13));
}

TEST(ZEPLogTest, LevelFilterNullMessageAndBuilderReuse) {
  zeptest::TempDir dir;
  std::string path = dir / "levels.log";
  ZEPLog log(path.c_str());
  EXPECT_TRUE(log.IsLogIt());
  log.SetLogIt(false);
  log.Log(__FILE__, __LINE__, LOG_INFO, "dropped info");
  log.Log(__FILE__, __LINE__, LOG_WARN, "dropped warn");
  log.Log(__FILE__, __LINE__, LOG_ERRR, "dropped errr");
  log.Log(__FILE__, __LINE__, LOG_MESG, "kept mesg");
  log.Log(__FILE__, __LINE__, LOG_MESG, static_cast<const char*>(nullptr));
  log.SetLogIt(true);

  ZEPString msg;
  msg << "count " << 7;
  log.Log(__FILE__, __LINE__, LOG_WARN, msg);
  EXPECT_FALSE(msg.IsNull());
  EXPECT_TRUE(msg == "") << "the builder is left empty for the next line";
  ZEPString nullText;
  log.Log(__FILE__, __LINE__, LOG_WARN, nullText);  // nothing written
  EXPECT_TRUE(nullText == "");

  log.SetFileInfo(true);
  log.Log("telnetd", 99, LOG_ERRR, "with position");

  std::vector<std::string> lines = zeptest::SplitLines(zeptest::ReadFile(path));
  ASSERT_EQ(3u, lines.size());
  EXPECT_TRUE(IsStamped(lines[0])) << lines[0];
  EXPECT_EQ(":MESG:kept mesg", lines[0].substr(13));
  EXPECT_EQ(":WARN:count 7", lines[1].substr(13));
  EXPECT_EQ(":[telnetd,99]:ERRR:with position", lines[2].substr(13));
}

TEST(ZEPLogTest, ScreenEchoAndFileSwitch) {
  zeptest::TempDir dir;
  std::string path = dir / "echo.log";
  ZEPLog log(path.c_str());
  EXPECT_FALSE(log.IsToScreen());
  log.SetToFile(false);
  testing::internal::CaptureStdout();
  log.SetToScreen(true);
  log.Log(__FILE__, __LINE__, LOG_INFO, "on screen");
  log.SetToScreen(false);
  log.Log(__FILE__, __LINE__, LOG_INFO, "nowhere");
  std::string out = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines = zeptest::SplitLines(out);
  ASSERT_EQ(1u, lines.size()) << out;
  EXPECT_TRUE(IsStamped(lines[0])) << lines[0];
  EXPECT_EQ(":INFO:on screen", lines[0].substr(13));
  EXPECT_EQ('\n', out.back());
  EXPECT_EQ("", zeptest::ReadFile(path)) << "file output was switched off";

  // A log without a file only echoes.
  ZEPLog screenOnly;
  screenOnly.SetToScreen(true);
  testing::internal::CaptureStdout();
  screenOnly.Log(__FILE__, __LINE__, LOG_MESG, "only here");
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find(":MESG:only here\n"));
}

// Logs a line of exactly `bytes` bytes with its line end (19 bytes of stamp
// and tag come first).
void LogSized(ZEPLog& log, size_t bytes, char fill) {
  std::string msg(bytes - 20, fill);
  log.Log(__FILE__, __LINE__, LOG_INFO, msg.c_str());
}

TEST(ZEPLogRotationTest, TenSegmentsShiftAndTheOldestIsDropped) {
  zeptest::TempDir dir;
  std::string p = dir / "dyrclient.log";
  for (int k = 1; k <= 9; ++k)
    zeptest::WriteFile(p + "." + std::to_string(k), "seg" + std::to_string(k));
  ZEPLog log(p.c_str());
  log.SetSegSize(100);
  EXPECT_EQ(10, ZEPLog::kDefaultTotalSegCount);

  LogSized(log, 100, 'a');  // exactly the segment size: no rotation yet
  EXPECT_EQ(100u, zeptest::ReadFile(p).size());
  EXPECT_EQ("seg1", zeptest::ReadFile(p + ".1"));

  LogSized(log, 30, 'b');  // passes the size: written, then rotated
  EXPECT_EQ("", zeptest::ReadFile(p));
  EXPECT_TRUE(zeptest::FileExists(p));
  std::vector<std::string> moved = zeptest::SplitLines(zeptest::ReadFile(p + ".1"));
  ASSERT_EQ(2u, moved.size());
  EXPECT_EQ(std::string(80, 'a'), moved[0].substr(19));
  EXPECT_EQ(std::string(10, 'b'), moved[1].substr(19));
  for (int k = 2; k <= 9; ++k)
    EXPECT_EQ("seg" + std::to_string(k - 1), zeptest::ReadFile(p + "." + std::to_string(k)));
  EXPECT_FALSE(zeptest::FileExists(p + ".10"));

  // Next line lands in the new live file.
  log.Log(__FILE__, __LINE__, LOG_INFO, "fresh");
  EXPECT_EQ(":INFO:fresh\n", zeptest::ReadFile(p).substr(13));
}

TEST(ZEPLogRotationTest, MissingSegmentsAreFilledInOrder) {
  zeptest::TempDir dir;
  std::string p = dir / "gaps.log";
  ZEPLog log(p.c_str());
  log.SetSegSize(50);
  log.SetTotalSegCount(3);
  for (char c : std::string("abcd")) LogSized(log, 60, c);  // each line rotates
  EXPECT_EQ("", zeptest::ReadFile(p));
  EXPECT_EQ(std::string(40, 'd'), zeptest::ReadFile(p + ".1").substr(19, 40));
  EXPECT_EQ(std::string(40, 'c'), zeptest::ReadFile(p + ".2").substr(19, 40));
  EXPECT_FALSE(zeptest::FileExists(p + ".3")) << "three files at most, the live one included";
}

TEST(ZEPLogRotationTest, SingleSegmentStartsOverEmpty) {
  zeptest::TempDir dir;
  std::string p = dir / "one.log";
  zeptest::WriteFile(p + ".0", "not ours");
  ZEPLog log(p.c_str());
  log.SetSegSize(100);
  log.SetTotalSegCount(1);
  LogSized(log, 100, 'a');
  EXPECT_EQ(100u, zeptest::ReadFile(p).size());
  LogSized(log, 30, 'b');
  EXPECT_TRUE(zeptest::FileExists(p));
  EXPECT_EQ("", zeptest::ReadFile(p));
  EXPECT_FALSE(zeptest::FileExists(p + ".1"));
  EXPECT_EQ("not ours", zeptest::ReadFile(p + ".0"));
  log.Log(__FILE__, __LINE__, LOG_ERRR, "after");
  EXPECT_EQ(":ERRR:after\n", zeptest::ReadFile(p).substr(13));
}

TEST(ZEPLogTest, WriteErrorKeepsWhatWasLogged) {
  zeptest::TempDir dir;
  std::string p = dir / "full.log";
  zeptest::WriteFile(p, "keep me\n");
  ZEPLog log(p.c_str());
  // A file size limit makes writes fail (EFBIG) without killing the process.
  struct sigaction ign {};
  struct sigaction old {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ASSERT_EQ(0, sigaction(SIGXFSZ, &ign, &old));
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  rlimit small = saved;
  small.rlim_cur = 8;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  log.Log(__FILE__, __LINE__, LOG_INFO, "this line does not fit");
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
  sigaction(SIGXFSZ, &old, nullptr);

  log.Log(__FILE__, __LINE__, LOG_INFO, "space again");
  std::string text = zeptest::ReadFile(p);
  EXPECT_EQ(0u, text.rfind("keep me\n", 0)) << "a failed write wiped the log";
  std::vector<std::string> lines = zeptest::SplitLines(text);
  ASSERT_EQ(2u, lines.size()) << text;
  EXPECT_EQ(":INFO:space again", lines[1].substr(13));
}

struct Writer {
  ZEPLog* log;
  int id;
};

const int kWriters = 4;
const int kLinesEach = 150;

void* WriteLines(void* arg) {
  auto* w = static_cast<Writer*>(arg);
  for (int i = 0; i < kLinesEach; ++i) {
    g_LogMutex.Acquire();
    strLog << "writer " << w->id << " line " << i << " "
           << "padding-padding-padding";
    w->log->Log(__FILE__, __LINE__, LOG_INFO, strLog);
    g_LogMutex.Release();
  }
  return nullptr;
}

TEST(ZEPLogTest, ConcurrentWritersUnderTheLogLockKeepLinesWhole) {
  zeptest::TempDir dir;
  std::string p = dir / "busy.log";
  ZEPLog log(p.c_str());
  log.SetSegSize(4096);
  log.SetTotalSegCount(100);  // enough that nothing is dropped
  Writer w[kWriters];
  Thread t[kWriters];
  for (int i = 0; i < kWriters; ++i) {
    w[i] = Writer{&log, i};
    ASSERT_TRUE(t[i].Create(WriteLines, &w[i]));
  }
  for (auto& th : t) th.Wait();

  // Oldest segment first, so each writer's lines must appear in order.
  std::vector<std::string> files;
  for (int k = 99; k >= 1; --k) {
    std::string seg = p + "." + std::to_string(k);
    if (zeptest::FileExists(seg)) files.push_back(seg);
  }
  files.push_back(p);
  EXPECT_GT(files.size(), 3u) << "the test should cross several rotations";
  std::map<int, int> next;
  int total = 0;
  for (const auto& f : files) {
    for (const auto& line : zeptest::SplitLines(zeptest::ReadFile(f))) {
      int id = -1, n = -1, used = 0;
      bool whole =
          IsStamped(line) &&
          std::sscanf(line.c_str() + 13, ":INFO:writer %d line %d padding-padding-padding%n", &id,
                      &n, &used) == 2 &&
          static_cast<size_t>(used) == line.size() - 13;
      ASSERT_TRUE(whole) << "torn line in " << f << ": " << line;
      EXPECT_EQ(next[id], n) << "writer " << id;
      next[id] = n + 1;
      ++total;
    }
  }
  EXPECT_EQ(kWriters * kLinesEach, total);
  EXPECT_TRUE(strLog == "");
}

}  // namespace

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0u;
}

}  // namespace

TEST(ZEPLogTest, FilesAreTheOwnersAloneWhateverTheUmask) {
  zeptest::TempDir dir;
  mode_t old = umask(022);
  std::string fresh = dir / "fresh.log";
  std::string wide = dir / "wide.log";
  zeptest::WriteFile(wide, "earlier\n");
  chmod(wide.c_str(), 0644);
  {
    ZEPLog a(fresh.c_str());
    ZEPLog b(wide.c_str());
    b.SetSegSize(10);
    b.Log(__FILE__, __LINE__, LOG_INFO, "a line longer than the segment");
  }
  umask(old);
  EXPECT_EQ(0600u, ModeOf(fresh));
  // The narrowed file was rotated; the new live file is private too.
  EXPECT_EQ(0600u, ModeOf(wide + ".1"));
  EXPECT_EQ(0600u, ModeOf(wide));
  EXPECT_EQ(0u, zeptest::ReadFile(wide + ".1").rfind("earlier\n", 0));
}

// Whatever is planted at the log's name, the log writes a file of its own
// there and the planted target stays as it was. (A rotation only renames:
// rename(2) moves a link, never what it points at.)
TEST(ZEPLogTest, PlantedNamesAreReplacedNeverFollowed) {
  zeptest::TempDir dir;
  zeptest::TempDir outside;
  const std::string path = dir / "dyrclient.log";
  const std::string victim = outside / "victim";
  for (const zeptest::Plant_tag& plant : zeptest::kPlants) {
    if (plant.m_eKind == zeptest::kPlantLinkAtTmp || plant.m_eKind == zeptest::kPlantFifoAtTmp)
      continue;  // the log has no temporary name
    SCOPED_TRACE(plant.m_pszWhat);
    zeptest::PlantAt(path, victim, plant.m_eKind);
    const bool opened = zeptest::ReturnsWithin(
        [&] {
          ZEPLog log(path.c_str());
          log.Log(__FILE__, __LINE__, LOG_INFO, "planted");
        },
        5000, path);
    EXPECT_TRUE(opened) << "the log waited on what was planted";
    struct stat st {};
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1u);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_NE(std::string::npos, zeptest::ReadAll(path).find("planted"));
    EXPECT_EQ(zeptest::kVictimText, zeptest::ReadAll(victim));
    ASSERT_EQ(0, lstat(victim.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
  }
}

TEST(ZEPLogScreenTest, Utf8EchoConvertsTheScreenAndNotTheFile) {
  // The conversion itself: tests/base/zepcharset_test.cpp.
  zeptest::TempDir dir;
  std::string path = dir / "gb.log";
  ZEPLog log(path.c_str());
  log.SetToScreen(true);
  ASSERT_TRUE(log.SetScreenUtf8(true));
  testing::internal::CaptureStdout();
  log.Log(__FILE__, __LINE__, LOG_MESG, "\xb5\xc7\xc2\xbc");
  ASSERT_TRUE(log.SetScreenUtf8(false));
  log.Log(__FILE__, __LINE__, LOG_MESG, "\xb5\xc7\xc2\xbc");
  std::vector<std::string> lines = zeptest::SplitLines(testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(13), ":MESG:\xe7\x99\xbb\xe5\xbd\x95");
  EXPECT_EQ(lines[1].substr(13), ":MESG:\xb5\xc7\xc2\xbc");
  std::vector<std::string> file = zeptest::SplitLines(zeptest::ReadFile(path));
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[0].substr(13), ":MESG:\xb5\xc7\xc2\xbc") << "the file keeps GB2312";
}

namespace {

// Everything the pipe holds now, without waiting.
std::string DrainPipe(int fd) {
  std::string got;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

}  // namespace

TEST(ZEPLogScreenTest, StalledOutputDropsEchoLinesAndNeverBlocks) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  zeptest::TempDir dir;
  std::string path = dir / "stall.log";
  ZEPLog log(path.c_str());
  log.SetToScreen(true);
  log.SetScreenFd(fds[1]);
  const int kLines = 3000;  // about 150 KiB: more than a pipe holds
  // On a thread, so a blocking echo fails the test instead of hanging it.
  std::atomic<int> done{0};
  std::thread writer([&] {
    std::string pad(30, 'p');
    for (int i = 0; i < kLines; ++i) {
      std::string msg = "line " + std::to_string(i) + " " + pad;
      g_LogMutex.Acquire();
      log.Log(__FILE__, __LINE__, LOG_INFO, msg.c_str());
      g_LogMutex.Release();
      done.store(i + 1);
    }
  });
  for (int i = 0; i < 1000 && done.load() < kLines; ++i) usleep(10000);
  const bool finished = done.load() == kLines;
  if (!finished) DrainPipe(fds[0]);  // let the writer go so the thread can be joined
  writer.join();
  ASSERT_TRUE(finished) << "the echo blocked on a full pipe after " << done.load() << " lines";

  g_LogMutex.Acquire();
  const unsigned long dropped = log.GetEchoDropped();
  g_LogMutex.Release();
  EXPECT_GT(dropped, 0u);
  std::string screen = DrainPipe(fds[0]);
  std::vector<std::string> shown = zeptest::SplitLines(screen);
  EXPECT_EQ(static_cast<size_t>(kLines) - dropped, shown.size());
  // Whole lines only, in order, with nothing cut.
  for (const std::string& l : shown) ASSERT_EQ(':', l[13]) << l;
  EXPECT_NE(std::string::npos, shown.front().find(":INFO:line 0 "));

  // Room again: the next line says how many went missing, then comes itself.
  log.Log(__FILE__, __LINE__, LOG_WARN, "after the stall");
  std::vector<std::string> after = zeptest::SplitLines(DrainPipe(fds[0]));
  ASSERT_EQ(2u, after.size());
  EXPECT_EQ(
      "(" + std::to_string(dropped) + " screen lines dropped: the output was not taking them)",
      after[0]);
  EXPECT_EQ(":WARN:after the stall", after[1].substr(13));
  EXPECT_EQ(0u, log.GetEchoDropped());

  // The file lost nothing.
  EXPECT_EQ(static_cast<size_t>(kLines) + 1, zeptest::SplitLines(zeptest::ReadFile(path)).size());
  log.SetScreenFd(1);
  close(fds[0]);
  close(fds[1]);
}

TEST(ZEPLogScreenTest, EchoFollowsARedirectedOutput) {
  // The handle opened for one output is not kept once the descriptor names
  // another one (here: a pipe, then a capture file put in its place).
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  int spare = dup(1);
  ASSERT_GE(spare, 0);
  ZEPLog log;
  log.SetToScreen(true);
  log.SetScreenFd(spare);
  ASSERT_EQ(spare, dup2(fds[1], spare));
  log.Log(__FILE__, __LINE__, LOG_MESG, "into the pipe");
  EXPECT_NE(std::string::npos, DrainPipe(fds[0]).find(":MESG:into the pipe\n"));
  zeptest::TempDir dir;
  std::string path = dir / "redirected";
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  ASSERT_EQ(spare, dup2(file, spare));
  close(file);
  log.Log(__FILE__, __LINE__, LOG_MESG, "into the file");
  EXPECT_EQ("", DrainPipe(fds[0]));
  EXPECT_NE(std::string::npos, zeptest::ReadFile(path).find(":MESG:into the file\n"));
  log.SetScreenFd(1);
  close(spare);
  close(fds[0]);
  close(fds[1]);
}
