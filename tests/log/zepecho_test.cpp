// The echo's forms: the journal's lines (priority prefix, no time stamp,
// UTF-8, with or without a converter), JOURNAL_STREAM as the manager
// writes it (and as nobody should), and a log echoing in the journal's form
// while its file keeps the GB2312 lines.
#include "log/zepecho.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log/zeplog.h"
#include "support/files.h"
#include "support/tempdir.h"

namespace {

TEST(ZEPJournalTest, EveryLineGetsThePrefixAndOnlyTheFirstTheHead) {
  struct Case {
    int type;
    std::string text;
    size_t headLen;
    std::string journal;
  } cases[] = {
      {LOG_MESG, "MESG:started", 5, "<5>MESG:started\n"},
      {LOG_INFO, "INFO:x", 5, "<6>INFO:x\n"},
      {LOG_WARN, "WARN:x", 5, "<4>WARN:x\n"},
      {LOG_ERRR, "ERRR:x", 5, "<3>ERRR:x\n"},
      {7, "UNKN:x", 5, "<6>UNKN:x\n"},
      {-1, "UNKN:x", 5, "<6>UNKN:x\n"},
      // The banner: lines of their own, the empty ones and the CRs left out.
      {LOG_MESG, "MESG:\r\n\r\nTitle\r\nMaker\r\n", 5, "<5>MESG:Title\n<5>Maker\n"},
      {LOG_INFO, "[a.cpp,7]:INFO:one\ntwo", 15, "<6>[a.cpp,7]:INFO:one\n<6>two\n"},
      {LOG_MESG, "MESG:ends\n", 5, "<5>MESG:ends\n"},
      {LOG_MESG, "MESG:", 5, "<5>MESG:\n"},
      {LOG_MESG, "MESG:\r\n\n", 5, "<5>MESG:\n"},
      // A CR inside a line stays; a head longer than the text is all of it.
      {LOG_WARN, "WARN:a\rb", 5, "<4>WARN:a\rb\n"},
      {LOG_WARN, "WARN", 9, "<4>WARN\n"},
  };
  for (const Case& c : cases) {
    std::string out = "kept|";
    ZEPJournalLines(c.type, c.text, c.headLen, out);
    EXPECT_EQ(out, "kept|" + c.journal) << c.text;
  }
  // Without a converter the log's journal form masks every byte above 0x7f
  // (ZEPMaskNonAscii, tests/base/zepcharset_test.cpp); with one, the log's
  // echo below converts.
}

TEST(ZEPJournalTest, JournalStreamIsTwoDecimalNumbersAndMustNameTheDescriptor) {
  const struct {
    const char* text;
    unsigned long long dev, ino;
  } good[] = {{"8:1234", 8, 1234},
              {"0:0", 0, 0},
              {"18446744073709551615:18446744073709551615", ~0ULL, ~0ULL}};
  unsigned long long dev = 0, ino = 0;
  for (const auto& g : good) {
    ASSERT_TRUE(ZEPParseJournalStream(g.text, dev, ino)) << g.text;
    EXPECT_EQ(dev, g.dev) << g.text;
    EXPECT_EQ(ino, g.ino) << g.text;
  }
  const char* const bad[] = {"18446744073709551616:1",
                             "1:18446744073709551616",
                             "",
                             ":",
                             "8",
                             "8:",
                             ":8",
                             "8:9:10",
                             "-8:9",
                             "+8:9",
                             " 8:9",
                             "8:9 ",
                             "0x8:9",
                             "8;9",
                             nullptr};
  for (const char* text : bad) EXPECT_FALSE(ZEPParseJournalStream(text, dev, ino)) << text;

  zeptest::TempDir dir;
  const std::string path = dir / "stream";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  auto stream = [&](unsigned long long inoPlus) {
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino) + inoPlus);
  };
  const std::string self = stream(0), other = stream(1);
  EXPECT_TRUE(ZEPIsJournalStream(self.c_str(), fd));
  EXPECT_FALSE(ZEPIsJournalStream(other.c_str(), fd));
  EXPECT_FALSE(ZEPIsJournalStream(nullptr, fd));
  EXPECT_FALSE(ZEPIsJournalStream(self.c_str(), -1));
  // The journal's form wins over the locale; elsewhere the locale decides.
  EXPECT_EQ(ZEPChooseEchoForm(self.c_str(), fd, false), ZEP_ECHO_JOURNAL);
  EXPECT_EQ(ZEPChooseEchoForm(other.c_str(), fd, true), ZEP_ECHO_UTF8);
  EXPECT_EQ(ZEPChooseEchoForm(nullptr, fd, false), ZEP_ECHO_AS_LOGGED);
  close(fd);
}

// What a pipe holds now, without waiting.
std::string ReadWaiting(int fd) {
  std::string got;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 0) == 1) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(ZEPJournalTest, TheEchoSpeaksJournalWhileTheFileKeepsItsLines) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  zeptest::TempDir dir;
  const std::string path = dir / "journal.log";
  ZEPLog log(path.c_str());
  log.SetToScreen(true);
  log.SetScreenFd(fds[1]);
  ASSERT_TRUE(log.SetEchoForm(ZEP_ECHO_JOURNAL));
  log.SetFileInfo(true);
  log.Log("unit.cpp", 12, LOG_WARN, "\xb5\xc7\xc2\xbc!");  // 登录!
  log.SetFileInfo(false);
  log.Log("unit.cpp", 13, LOG_MESG, "\r\n\r\nbanner\r\nline\r\n");
  log.Log("unit.cpp", 14, LOG_ERRR, "bad: a:b");
  EXPECT_EQ(ReadWaiting(fds[0]),
            "<4>[unit.cpp,12]:WARN:\xe7\x99\xbb\xe5\xbd\x95!\n"
            "<5>MESG:banner\n<5>line\n"
            "<3>ERRR:bad: a:b\n");
  const std::string file = zeptest::ReadFile(path);
  EXPECT_NE(file.find(":[unit.cpp,12]:WARN:\xb5\xc7\xc2\xbc!\n"), std::string::npos) << file;
  EXPECT_NE(file.find(":MESG:\r\n\r\nbanner\r\nline\r\n\n"), std::string::npos) << file;
  EXPECT_EQ(file.find('<'), std::string::npos) << "no prefix in the file";

  // Lines the output did not take are counted as ever, the notice a warning.
  close(fds[0]);
  ASSERT_EQ(0, pipe(fds));
  log.SetScreenFd(fds[1]);
  ASSERT_EQ(0, fcntl(fds[1], F_SETFL, O_NONBLOCK));
  std::string fill(4096, 'f');
  while (write(fds[1], fill.data(), fill.size()) > 0) {
  }
  log.Log("unit.cpp", 20, LOG_INFO, "lost");
  EXPECT_EQ(log.GetEchoDropped(), 1u);
  while (!ReadWaiting(fds[0]).empty()) {
  }
  log.Log("unit.cpp", 21, LOG_INFO, "back");
  EXPECT_EQ(ReadWaiting(fds[0]),
            "<4>(1 screen lines dropped: the output was not taking them)\n<6>INFO:back\n");
  log.SetScreenFd(1);
  close(fds[0]);
  close(fds[1]);
}

TEST(ZEPJournalTest, AMesgLineThatReportsAFailureGoesAtErr) {
  const struct {
    int type;
    const char* msg;
    const char* prefix;
  } cases[] = {
      {LOG_MESG, "\xb4\xed\xce\xf3:\xb5\xc7\xc2\xbc\xca\xa7\xb0\xdc: x", "<3>"},  // 错误:登录失败
      {LOG_MESG, "\xb4\xed\xce\xf3: Cannot process ini file. Quit!\n", "<3>"},
      {LOG_MESG, "\xb4\xed\xce\xf3:", "<3>"},
      {LOG_MESG, "\xb4\xed\xce\xf3", "<5>"},                   // the word without its colon
      {LOG_MESG, "\xb4\xed", "<5>"},                           // cut short
      {LOG_MESG, " \xb4\xed\xce\xf3:", "<5>"},                 // not at the start
      {LOG_MESG, "\xb7\xfe\xce\xf1\xc6\xf4\xb6\xaf.", "<5>"},  // 服务启动.
      {LOG_MESG, "", "<5>"},
      {LOG_MESG, nullptr, "<5>"},
      {LOG_WARN, "\xb4\xed\xce\xf3:x", "<4>"},  // only MESG lines are raised
      {LOG_INFO, "\xb4\xed\xce\xf3:x", "<6>"},
      {LOG_ERRR, "x", "<3>"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(ZEPJournalPrefixOf(c.type, c.msg), c.prefix)
        << c.type << " " << (c.msg ? c.msg : "(null)");

  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  zeptest::TempDir dir;
  const std::string path = dir / "err.log";
  {
    ZEPLog log(path.c_str());
    log.SetToScreen(true);
    log.SetScreenFd(fds[1]);
    ASSERT_TRUE(log.SetEchoForm(ZEP_ECHO_JOURNAL));
    log.Log("unit.cpp", 1, LOG_MESG,
            "\xb4\xed\xce\xf3:\xce\xde\xb7\xa8\xc1\xaa\xbd\xd3:h");  // 错误:无法联接:
    log.Log("unit.cpp", 2, LOG_MESG, "ok");
    EXPECT_EQ(ReadWaiting(fds[0]),
              "<3>MESG:\xe9\x94\x99\xe8\xaf\xaf:\xe6\x97\xa0\xe6\xb3\x95\xe8\x81\x94\xe6"
              "\x8e\xa5:h\n<5>MESG:ok\n");
    log.SetScreenFd(1);
  }
  close(fds[0]);
  close(fds[1]);
  const std::string file = zeptest::ReadFile(path);
  EXPECT_NE(file.find(":MESG:\xb4\xed\xce\xf3:\xce\xde\xb7\xa8\xc1\xaa\xbd\xd3:h\n"),
            std::string::npos)
      << "the file keeps the level and the bytes: " << file;
}

TEST(ZEPJournalTest, AJournalStreamPrefixesEveryLineItIsWritten) {
  const struct {
    int priority;
    std::vector<std::string> writes;  // each one fputs, then a flush
    std::string journal;
  } cases[] = {
      {7, {"Usage: x \n-h: help. \n\n"}, "<7>Usage: x \n<7>-h: help. \n"},
      {6,
       {"path:\n", "WARN: a\n", "1 account would run.\n"},
       "<6>path:\n<4>WARN: a\n<6>1 account would run.\n"},
      // A line written in pieces is one line; an unended last one ends at close.
      {3,
       {"dyrclient: cannot ", "read x", ": why\nlast"},
       "<3>dyrclient: cannot read x: why\n<3>last\n"},
      {6,
       {"ERRR:x\nMESG:y\nINFO:z\nWARN\nWARNING: w\n"},
       "<3>ERRR:x\n<5>MESG:y\n<6>INFO:z\n<6>WARN\n<6>WARNING: w\n"},
      {6, {"WARN:"}, "<4>WARN:\n"},
      {9, {"odd priority\n"}, "<6>odd priority\n"},
      {-1, {"\n\n\n"}, ""},
      {0, {""}, ""},
  };
  zeptest::TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir / "journal.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    FILE* f = ZEPOpenJournalFile(fd, c.priority);
    ASSERT_NE(f, nullptr);
    for (const std::string& w : c.writes) {
      std::fputs(w.c_str(), f);
      std::fflush(f);
    }
    EXPECT_EQ(std::fclose(f), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "the descriptor stays open";
    close(fd);
    EXPECT_EQ(zeptest::ReadFile(path), c.journal) << c.priority << " " << c.writes.front();
  }
}

}  // namespace
