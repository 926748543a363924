// The status file: its text, its reader, the writer's pace and the
// --status command's verdicts.
#include "app/ops/statusfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "app/config/workdir.h"
#include "support/files.h"
#include "support/plants.h"
#include "support/tempdir.h"
#include "support/waitfor.h"

namespace {

DYRStatusDoc_tag SampleDoc() {
  DYRStatusDoc_tag doc;
  doc.m_nPid = 4242;
  doc.m_strVersion = "2.01a build 120";
  doc.m_nStarted = 1796822350;
  DYRStatusAccount_tag up;
  up.m_nAccount = 1;
  up.m_strHost = "ddns.example.net";
  up.m_strUser = "\xd5\xc5\"x";  // GB2312 and a quote
  up.m_nState = 20;
  up.m_strEgress = "203.0.113.7";
  up.m_strClientID = "10001";
  up.m_nLastLogin = 1796822351;
  up.m_nLastReport = 1796822352;
  DYRStatusAccount_tag fresh;  // nothing known yet
  fresh.m_nAccount = 2;
  fresh.m_strHost = "b";
  doc.m_Accounts = {up, fresh};
  return doc;
}

TEST(StatusJson, TextHasNullsForWhatIsNotKnownAndReadsBack) {
  const std::string text = DyrStatusJson(SampleDoc());
  EXPECT_EQ(
      "{\"pid\":4242,\"version\":\"2.01a build 120\",\"started\":1796822350,\"accounts\":["
      "{\"account\":1,\"host\":\"ddns.example.net\",\"user\":\"\\u00d5\\u00c5\\\"x\","
      "\"state\":20,\"egress\":\"203.0.113.7\",\"client_id\":\"10001\","
      "\"last_login\":1796822351,\"last_report\":1796822352},"
      "{\"account\":2,\"host\":\"b\",\"user\":\"\",\"state\":0,\"egress\":null,"
      "\"client_id\":null,\"last_login\":null,\"last_report\":null}]}",
      text);
  DYRStatusDoc_tag back;
  ASSERT_EQ(0, DyrReadStatusJson(text.data(), text.size(), back));
  EXPECT_EQ(text, DyrStatusJson(back));
}

TEST(StatusJson, ReaderRefusesWhatIsNotAStatusFile) {
  const std::string good = DyrStatusJson(SampleDoc());
  const struct {
    const char* from;
    const char* to;
  } edits[] = {
      {"\"pid\":4242", "\"pid\":\"4242\""},
      {"\"started\":1796822350", "\"started\":1.5"},
      {"\"accounts\":[", "\"accounts\":{\"x\":["},
      {"\"state\":20", "\"state\":\"20\""},
      {"\"account\":1,", "\"account\":-1,"},
      {"\"account\":1,", ""},
      {"\"last_login\":1796822351", "\"last_login\":-5"},
      {"\"egress\":\"203.0.113.7\"", "\"egress\":7"},
      {"]}", "]"},
  };
  for (const auto& e : edits) {
    std::string text = good;
    text.replace(text.find(e.from), std::strlen(e.from), e.to);
    DYRStatusDoc_tag doc;
    EXPECT_EQ(-1, DyrReadStatusJson(text.data(), text.size(), doc)) << text;
    EXPECT_TRUE(doc.m_Accounts.empty());
  }
  // Members it does not know are skipped.
  std::string more = good;
  more.insert(1, "\"later\":[1,{}],");
  DYRStatusDoc_tag doc;
  EXPECT_EQ(0, DyrReadStatusJson(more.data(), more.size(), doc));
  EXPECT_EQ(2u, doc.m_Accounts.size());
}

class StatusFileDir : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  std::string Read(const std::string& name) { return zeptest::ReadFile(dir_ + name); }
  static DYRNews_tag News(DYRNews_tag::Kind kind, int state) {
    DYRNews_tag n;
    n.m_nKind = kind;
    n.m_nAccount = 3;
    n.m_strHost = "ddns.example.net";
    n.m_strUser = "carol";
    n.m_Status.m_nState = state;
    n.m_Status.m_strEgress = "198.51.100.4";
    return n;
  }
  zeptest::TempDir tmp_;
  const std::string dir_ = tmp_.path() + "/";
};

TEST_F(StatusFileDir, WriterKeepsItsPaceLosesNothingAndRemovesTheFile) {
  const long gapMs = 200;
  CDYRStatusFile file(dir_.c_str(), gapMs);
  const std::string path = dir_ + DYR_STATUS_FILE;
  file.Start();
  file.OnNews(News(DYRNews_tag::kStatus, 0));
  EXPECT_NE(0, access(path.c_str(), F_OK)) << "written before the accounts are all there";
  file.OnNews(News(DYRNews_tag::kEnded, 0));
  file.Sync(nullptr);
  ASSERT_TRUE(zeptest::WaitFor(
      [&] { return Read(DYR_STATUS_FILE).find("\"accounts\":[]") != std::string::npos; }));
  struct stat st {};
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // A burst of news for a second: each write is a new file (renamed over the
  // old one), so the inodes seen count the writes.
  std::set<ino_t> inodes;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  int state = 0;
  while (std::chrono::steady_clock::now() < until) {
    file.OnNews(News(DYRNews_tag::kStatus, ++state));
    if (stat(path.c_str(), &st) == 0) inodes.insert(st.st_ino);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_LE(inodes.size(), 1000 / gapMs + 3) << "written more often than once a gap";
  // The last news, told inside a gap, is written at its end.
  const std::string last =
      "\"account\":3,\"host\":\"ddns.example.net\",\"user\":\"carol\",\"state\":" +
      std::to_string(state) + ",\"egress\":\"198.51.100.4\"";
  EXPECT_TRUE(zeptest::WaitFor([&] {
    return Read(DYR_STATUS_FILE).find(last) != std::string::npos;
  })) << Read(DYR_STATUS_FILE);
  file.OnNews(News(DYRNews_tag::kEnded, 0));
  EXPECT_TRUE(zeptest::WaitFor(
      [&] { return Read(DYR_STATUS_FILE).find("\"accounts\":[]") != std::string::npos; }));
  file.Stop();
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));
}

// --status, in this process: the lock held by LockWorkDir stands for the
// daemon's.
TEST_F(StatusFileDir, StatusCommandTellsHealthyLoggingInAndNoDaemon) {
  struct Run {
    int rc;
    std::string out;
    std::string err;
  };
  auto run = [&] {
    char *o = nullptr, *e = nullptr;
    size_t ol = 0, el = 0;
    FILE* out = open_memstream(&o, &ol);
    FILE* err = open_memstream(&e, &el);
    Run r;
    r.rc = DyrStatusCommand(dir_.c_str(), out, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(o, ol);
    r.err.assign(e, el);
    std::free(o);
    std::free(e);
    return r;
  };
  Run r = run();
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ("dyrclient: no daemon runs in " + dir_ + "\n", r.err);

  int fd = -1;
  long holder = 0;
  ZEPString why;
  ASSERT_EQ(0, LockWorkDir(dir_.c_str(), fd, holder, why));
  EXPECT_EQ(1, run().rc) << "a daemon that has not written its file yet";

  DYRStatusDoc_tag doc = SampleDoc();
  doc.m_nPid = static_cast<long>(getpid());
  doc.m_Accounts[1].m_nState = 10;
  doc.m_Accounts[0].m_strEgress = "203.0.113.7\x1b[2J";  // a terminal escape from a server
  const std::string statusPath = dir_ + DYR_STATUS_FILE;
  std::ofstream(statusPath) << DyrStatusJson(doc) << "\n";
  r = run();
  EXPECT_EQ(0, r.rc) << r.err;
  EXPECT_EQ(0u, r.out.find("account 1 host=ddns.example.net user=\xd5\xc5\"x state=20 "
                           "egress=203.0.113.7\\x1b[2J id=10001 login_age="))
      << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("\naccount 2 host=b user=- state=10 egress=- id=- login_age=- "
                       "report_age=-\n"))
      << r.out;

  doc.m_Accounts[1].m_nState = 0;
  std::ofstream(statusPath) << DyrStatusJson(doc);
  EXPECT_EQ(1, run().rc);
  doc.m_nPid = static_cast<long>(getpid()) + 1;  // left by a daemon that is gone
  doc.m_Accounts[1].m_nState = 20;
  std::ofstream(statusPath) << DyrStatusJson(doc);
  r = run();
  EXPECT_EQ(1, r.rc);
  EXPECT_NE(std::string::npos, r.err.find("not by the daemon")) << r.err;
  std::ofstream(statusPath) << "{\"pid\":";
  EXPECT_EQ(1, run().rc);

  UnlockWorkDir(fd);
  EXPECT_EQ(-1, run().rc) << "the file is there, but no daemon holds the directory";
}

// Whatever someone else planted at the file's name or at its temporary name
// is replaced by a file of ours; nothing outside the directory is written,
// and the writer never waits on a FIFO.
TEST_F(StatusFileDir, PlantedNamesAreReplacedNeverFollowed) {
  zeptest::TempDir outside;
  const std::string victim = outside.path() + "/victim";
  const std::string path = dir_ + DYR_STATUS_FILE;
  for (const zeptest::Plant_tag& plant : zeptest::kPlants) {
    SCOPED_TRACE(plant.m_pszWhat);
    zeptest::PlantAt(path, victim, plant.m_eKind);
    CDYRStatusFile file(dir_.c_str(), 50);
    file.Start();
    file.Sync(nullptr);
    const bool written = zeptest::WaitFor([&] {
      struct stat st {};
      return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
             Read(DYR_STATUS_FILE).find("\"accounts\":[]") != std::string::npos;
    });
    EXPECT_TRUE(written);
    if (written) zeptest::ExpectReplaced(path, victim, Read(DYR_STATUS_FILE), plant.m_pszWhat);
    // A writer stuck in the open of a FIFO is let go, so that Stop returns.
    EXPECT_TRUE(zeptest::ReturnsWithin([&] { file.Stop(); }, 5000, path));
  }
}

// --status never waits on what lies at the status file's name, and reads
// only a file the daemon could have written: no link, no FIFO.
TEST_F(StatusFileDir, StatusCommandRefusesWhatIsNotAFileAtOnce) {
  int fd = -1;
  long holder = 0;
  ZEPString why;
  ASSERT_EQ(0, LockWorkDir(dir_.c_str(), fd, holder, why));
  zeptest::TempDir outside;
  const std::string elsewhere = outside.path() + "/status";
  DYRStatusDoc_tag doc = SampleDoc();
  doc.m_nPid = static_cast<long>(getpid());
  doc.m_Accounts[1].m_nState = 20;
  std::ofstream(elsewhere) << DyrStatusJson(doc) << "\n";
  const std::string path = dir_ + DYR_STATUS_FILE;
  const struct {
    const char* what;
    int (*plant)(const std::string& path, const std::string& elsewhere);
  } cases[] = {
      {"a FIFO", [](const std::string& p, const std::string&) { return mkfifo(p.c_str(), 0666); }},
      {"a link to a good status file",
       [](const std::string& p, const std::string& e) { return symlink(e.c_str(), p.c_str()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(path.c_str());
    ASSERT_EQ(0, c.plant(path, elsewhere));
    int rc = 0;
    char* e = nullptr;
    size_t el = 0;
    FILE* err = open_memstream(&e, &el);
    FILE* out = std::fopen("/dev/null", "w");
    EXPECT_TRUE(
        zeptest::ReturnsWithin([&] { rc = DyrStatusCommand(dir_.c_str(), out, err); }, 5000, path))
        << "waited on the FIFO";
    std::fclose(out);
    std::fclose(err);
    const std::string said(e, el);
    std::free(e);
    EXPECT_EQ(1, rc);
    EXPECT_EQ("dyrclient: a daemon runs in " + dir_ + ", but " + path +
                  " cannot be read: not a regular file\n",
              said);
  }
  UnlockWorkDir(fd);
}

}  // namespace
