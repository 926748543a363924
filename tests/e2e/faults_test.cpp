// dyrclient under faults of its surroundings: a log file system that fills
// up, a file size limit, and a standard output nobody reads. In each the
// accounts keep working and SIGTERM still ends the daemon in order.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dyr_fixture.h"

namespace e2e {
namespace {

// A tmpfs of `size` mounted on `dir` for the scope (root only).
class SmallFs {
 public:
  SmallFs(const std::string& dir, const char* size) : dir_(dir) {
    mkdir(dir.c_str(), 0700);
    const std::string opts = std::string("size=") + size + ",mode=0700";
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0;
  }
  ~SmallFs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Writes to `path` until the file system has no room left; false when it
// never filled.
bool FillUp(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  std::string block(4096, 'f');
  bool full = false;
  for (int i = 0; i < 100000 && !full; ++i) {
    full = write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
  }
  // Partial blocks may still fit: take them too.
  while (!full && write(fd, "f", 1) == 1) {
  }
  close(fd);
  return full || errno == ENOSPC;
}

class FaultTest : public DyrClientTest {
 protected:
  // Answers the client's login: it reports (as "F") every 200 ms from then.
  void LogInReporting() {
    std::string inner;
    sockaddr_in from{};
    ASSERT_TRUE(server_.RecvLogin(inner, from, 5000));
    server_.main.SendTo(
        from,
        LoginReply({{"OK", "Y"}, {"ExitDYR", "203.0.113.7"}, {"K", "F"}, {"ReportIPSpan", "200"}}));
  }
  // `n` more reports reach the server within a few seconds.
  bool Reports(int n) {
    for (int i = 0; i < n; ++i) {
      std::string report;
      sockaddr_in from{};
      if (!server_.asst.Recv(report, from, 3000) || report != "F") return false;
    }
    return true;
  }
};

TEST_F(FaultTest, FullLogFileSystemCostsLogLinesOnlyAndLoggingResumes) {
  const std::string work = dir_ / "fs";
  SmallFs fs(work, "256k");
  if (!fs.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
  WriteIni();
  WriteFile(work + "/dyrclient.ini", ReadFile(dir_ / "dyrclient.ini"));
  ASSERT_EQ(0, chmod((work + "/dyrclient.ini").c_str(), 0600));
  ASSERT_TRUE(client_.Start({BinDir() + "/dyrclient", "-w", work}, dir_ / "stdout.txt"));
  const std::string log = work + "/dyrclient.log";
  LogInReporting();
  ASSERT_TRUE(WaitFor([&] { return CountOf(ReadFile(log), T_LOGIN_OK) == 1; }, 5000));

  ASSERT_TRUE(FillUp(work + "/filler"));
  const size_t before = ReadFile(log).size();
  EXPECT_TRUE(Reports(10)) << "the accounts stopped with the disk full";
  EXPECT_TRUE(client_.Running());
  EXPECT_LE(ReadFile(log).size(), before + 4096) << "no room, yet the log grew";

  // Room again: lines reach the file once more, and nothing before is lost.
  ASSERT_EQ(0, unlink((work + "/filler").c_str()));
  ASSERT_TRUE(client_.Signal(SIGUSR2));
  ASSERT_TRUE(WaitFor([&] { return CountOf(ReadFile(log), "Account Host=") >= 1; }, 5000))
      << ReadFile(log);
  EXPECT_EQ(1u, CountOf(ReadFile(log), T_LOGIN_OK));
  EXPECT_TRUE(Reports(2));
  EXPECT_EQ(Stop(), 0);
  EXPECT_NE(std::string::npos, ReadFile(log).find(T_STOPPED));
}

TEST_F(FaultTest, FileSizeLimitDoesNotEndTheDaemon) {
  WriteIni();
  // The limit is the child's from its start: it is set around the fork only.
  rlimit saved{};
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  rlimit small = saved;
  small.rlim_cur = 2048;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  const bool started =
      client_.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, dir_ / "stdout.txt");
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
  ASSERT_TRUE(started);
  LogInReporting();
  // Every report logs two lines: past 2 KiB well before the twentieth.
  ASSERT_TRUE(Reports(20)) << Log();
  EXPECT_GE(Log().size(), 1500u);
  EXPECT_LE(Log().size(), 2048u);
  EXPECT_TRUE(client_.Running()) << "a write past the limit ended the daemon";
  EXPECT_EQ(Stop(), 0);
}

TEST_F(FaultTest, StandardOutputNobodyReadsNeverStallsTheDaemon) {
  WriteIni();
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  // The child opens the pipe anew: a blocking handle of its own.
  const std::string pipePath = "/proc/self/fd/" + std::to_string(fds[1]);
  const bool started = client_.Start({BinDir() + "/dyrclient", "-w", dir_.path()}, pipePath);
  ASSERT_TRUE(started);
  LogInReporting();
  ASSERT_TRUE(Reports(1));
  // Now the pipe fills up and nobody reads it while the accounts work: every
  // echo finds it full.
  ASSERT_EQ(0, fcntl(fds[1], F_SETFL, O_NONBLOCK));
  std::string block(4096, 'x');
  while (write(fds[1], block.data(), block.size()) > 0) {
  }
  close(fds[1]);
  ASSERT_TRUE(Reports(10)) << "the daemon stalled on its output\n" << Log();
  ASSERT_TRUE(client_.Signal(SIGUSR2));
  ASSERT_TRUE(WaitLog("Account Host=", 3000)) << "the report was held up";

  // The output drains: the next line says how many went missing.
  ASSERT_EQ(0, fcntl(fds[0], F_SETFL, O_NONBLOCK));
  std::string shown;
  char buf[4096];
  ASSERT_TRUE(WaitFor(
      [&] {
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
          shown.append(buf, static_cast<size_t>(n));
        return shown.find(" screen lines dropped: the output was not taking them)\n") !=
               std::string::npos;
      },
      3000));
  EXPECT_EQ(Stop(), 0) << "SIGTERM did not end the daemon";
  close(fds[0]);
}

}  // namespace
}  // namespace e2e
