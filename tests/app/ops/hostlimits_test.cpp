// The arithmetic of the start-up line that compares the accounts' needs with
// the limits in force, and the limits as this process finds them.
#include "app/ops/hostlimits.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/ops/hook.h"
#include "log/zeplog.h"
#include "support/tempdir.h"

namespace {

struct FitCase {
  long long limit, inUse, perAccount, fit;
};

}  // namespace

TEST(DyrLimits, AccountsThatFitOneLimit) {
  const FitCase cases[] = {
      {20000, 16, 4, 4996},  // the raised descriptor limit of a loaded host
      {20000, 20000, 4, 0},  // nothing left
      {100, 200, 4, 0},      // more in use than the limit (other processes)
      {19, 16, 4, 0},        // less than one account left
      {20, 16, 4, 1},        // exactly one
      {-1, 16, 4, -1},       // no limit
      {100, 0, 0, -1},       // nothing per account
  };
  for (const FitCase& c : cases) {
    DYRLimit_tag l{"x", c.limit, c.inUse, c.perAccount};
    EXPECT_EQ(c.fit, DyrAccountsThatFit(l)) << c.limit << " " << c.inUse << " " << c.perAccount;
  }
}

TEST(DyrLimits, TheLineNamesTheTightestLimitAndWarnsOnlyWhenShort) {
  const std::vector<DYRLimit_tag> limits = {
      {"descriptors", 20000, 16, 4},  // 4996 fit
      {"threads", 30000, 12, 3},      // 9996 fit
      {"none", -1, 0, 3},
  };
  ZEPString line;
  EXPECT_EQ(DYRScaleFit::kAllFit, DyrScaleLine(3000, limits, line));
  std::string text = line.GetSafeText();
  EXPECT_NE(std::string::npos, text.find("descriptors")) << text;
  EXPECT_NE(std::string::npos, text.find("4996 account(s) fit")) << text;

  EXPECT_EQ(DYRScaleFit::kShort, DyrScaleLine(10000, limits, line));
  text = line.GetSafeText();
  EXPECT_NE(std::string::npos, text.find("10000 account(s) need 4 of descriptors")) << text;
  EXPECT_NE(std::string::npos, text.find("so 4996 account(s) fit: the other 5004")) << text;
  EXPECT_NE(std::string::npos, text.find("(short too: threads)")) << text;

  EXPECT_EQ(DYRScaleFit::kShort, DyrScaleLine(5000, limits, line));
  EXPECT_EQ(std::string::npos, std::string(line.GetSafeText()).find("short too"))
      << line.GetSafeText();

  EXPECT_EQ(DYRScaleFit::kNoLimit, DyrScaleLine(5, {{"none", -1, 0, 3}}, line));
  EXPECT_TRUE(line.IsEmpty());
}

TEST(DyrLimits, TheDescriptorLimitInForceIsFoundWithWhatIsOpen) {
  bool found = false;
  for (const DYRLimit_tag& l : DyrLimitsInForce()) {
    EXPECT_GE(l.m_nLimit, 0) << l.m_pszName;
    EXPECT_GE(l.m_nInUse, 0) << l.m_pszName;
    if (std::string(l.m_pszName).find("RLIMIT_NOFILE") == 0) {
      found = true;
      EXPECT_GE(l.m_nInUse, 3) << "standard input, output and error at least";
    }
  }
  EXPECT_TRUE(found);
}

namespace {

// A fake cgroup tree: "dir/file=text" entries written under a scratch root.
class FakeCgroups {
 public:
  void Put(const std::string& file, const std::string& text) {
    const std::string path = root_ + "/" + file;
    std::error_code ec;
    std::filesystem::create_directories(path.substr(0, path.rfind('/')), ec);
    std::ofstream(path) << text;
  }
  const std::string& Root() const { return root_; }

 private:
  zeptest::TempDir tmp_;
  std::string root_ = tmp_.path();
};

}  // namespace

TEST(DyrLimits, TheBindingPidsMaxIsFoundAlongTheWholeCgroupPath) {
  const std::string leafOnly = "0::/a/b\n";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::string procCgroup;
    long long ownTasks;
    std::string dir;  // under the root; "-" for no limit
    long long max, current;
  } cases[] = {
      {"the leaf's own limit",
       {{"a/b/pids.max", "100\n"}, {"a/b/pids.current", "10\n"}, {"a/pids.max", "max\n"}},
       leafOnly,
       5,
       "/a/b",
       100,
       10},
      {"a tighter parent (a user slice's TasksMax)",
       {{"a/b/pids.max", "100\n"},
        {"a/b/pids.current", "10\n"},
        {"a/pids.max", "50\n"},
        {"a/pids.current", "40\n"}},
       leafOnly,
       5,
       "/a",
       50,
       40},
      {"a parent with a higher limit but less room",
       {{"a/b/pids.max", "100\n"},
        {"a/b/pids.current", "10\n"},
        {"a/pids.max", "120\n"},
        {"a/pids.current", "115\n"}},
       leafOnly,
       5,
       "/a",
       120,
       115},
      {"max everywhere",
       {{"a/b/pids.max", "max\n"}, {"a/pids.max", "max\n"}, {"pids.max", "max\n"}},
       leafOnly,
       5,
       "-",
       -1,
       -1},
      {"a container's root sets it",
       {{"pids.max", "30\n"}, {"pids.current", "7\n"}},
       "0::/\n",
       5,
       "",
       30,
       7},
      {"a level without pids.current holds the leaf's at least",
       {{"a/b/pids.max", "100\n"}, {"a/b/pids.current", "10\n"}, {"a/pids.max", "20\n"}},
       leafOnly,
       5,
       "/a",
       20,
       10},
      {"blanks before a number and text after it; a huge one is none",
       {{"a/b/pids.max", "99999999999999999999\n"},
        {"a/pids.max", " \t42 tasks\n"},
        {"a/pids.current", "7"}},
       leafOnly,
       5,
       "/a",
       42,
       7},
      {"a file past its cap is not read",
       {{"a/b/pids.max", std::string(300, '1')}, {"a/pids.max", "42\n"}},
       leafOnly,
       5,
       "/a",
       42,
       5},
      {"no pids.current anywhere: the process's own tasks",
       {{"a/pids.max", "20\n"}},
       leafOnly,
       5,
       "/a",
       20,
       5},
      {"unreadable levels set nothing",
       {{"a/b/pids.max", "garbage\n"},
        {"a/pids.max", ""},
        {"pids.max", "64\n"},
        {"pids.current", "3\n"}},
       leafOnly,
       5,
       "",
       64,
       3},
      {"the v1 pids hierarchy wins over the unified one",
       {{"pids/x/pids.max", "70\n"}, {"pids/x/pids.current", "1\n"}, {"y/pids.max", "9\n"}},
       "12:memory:/m\n4:pids:/x\n0::/y\n",
       5,
       "/pids/x",
       70,
       1},
      {"trailing slashes and no line end",
       {{"a/b/pids.max", "100\n"}, {"a/b/pids.current", "10\n"}},
       "0::/a/b/",
       5,
       "/a/b",
       100,
       10},
      {"neither hierarchy listed", {{"pids.max", "10\n"}}, "3:cpu:/\n", 5, "-", -1, -1},
      {"no text at all", {{"pids.max", "10\n"}}, "", 5, "-", -1, -1},
      {"a line cut short", {{"pids.max", "10\n"}}, "0:", 5, "-", -1, -1},
  };
  for (const Case& c : cases) {
    FakeCgroups tree;
    for (const auto& f : c.files) tree.Put(f.first, f.second);
    DYRPidsLimit_tag found;
    const int rc = DyrFindPidsLimit(tree.Root().c_str(), c.procCgroup, c.ownTasks, found);
    if (c.dir == "-") {
      EXPECT_EQ(rc, -1) << c.what;
      EXPECT_EQ(found.m_nMax, -1) << c.what;
      continue;
    }
    ASSERT_EQ(rc, 0) << c.what;
    EXPECT_EQ(found.m_strDir, tree.Root() + c.dir) << c.what;
    EXPECT_EQ(found.m_nMax, c.max) << c.what;
    EXPECT_EQ(found.m_nCurrent, c.current) << c.what;
  }
  DYRPidsLimit_tag found;
  EXPECT_EQ(DyrFindPidsLimit(nullptr, leafOnly, 5, found), -1);
}

TEST(DyrLimits, TheLineNamesTheCgroupThatBinds) {
  const std::vector<DYRLimit_tag> limits = {
      {"descriptors", 20000, 16, 4},
      {"the cgroup's pids.max (TasksMax)", 100, 40, 3, "/sys/fs/cgroup/user.slice"},
  };
  ZEPString line;
  EXPECT_EQ(DYRScaleFit::kShort, DyrScaleLine(50, limits, line));
  EXPECT_NE(std::string(line.GetSafeText())
                .find("need 3 of the cgroup's pids.max (TasksMax) at /sys/fs/cgroup/user.slice "
                      "each; its limit is 100 with 40 in use, so 20 account(s) fit"),
            std::string::npos)
      << line.GetSafeText();
  EXPECT_EQ(DYRScaleFit::kAllFit, DyrScaleLine(5, {limits[0]}, line));
  EXPECT_EQ(std::string(line.GetSafeText()).find(" at "), std::string::npos) << line.GetSafeText();
}

TEST(DyrLimits, AConfiguredHookCountsItsRunsAsTasks) {
  char tmpl[] = "/tmp/dyrhooktasks_XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  const struct {
    const char* ini;
    long long tasks;
  } cases[] = {
      {"[DYR_CLIENT]\nHost=h\n", 0},
      {"[DYR_CLIENT]\nHost=h\n[HOOK]\nCommand=/bin/true\n",
       static_cast<long long>(kHookMaxRunning)},
      {"[HOOK]\nCommand=relative/hook\n", 0},  // runs nothing
      {"[HOOK]\nCommand=/nonexistent/hook\n", 0},
  };
  for (const auto& c : cases) {
    std::ofstream(tmpl, std::ios::binary | std::ios::trunc) << c.ini;
    EXPECT_EQ(DyrHookTasks(tmpl), c.tasks) << c.ini;
  }
  EXPECT_EQ(DyrHookTasks("/nonexistent/dyrclient.ini"), 0);
  unlink(tmpl);
  // They count against the limits of tasks, not against descriptors. (The
  // system-wide counts move with every other process: not compared.)
  const auto without = DyrLimitsInForce(0), with = DyrLimitsInForce(16);
  ASSERT_EQ(without.size(), with.size());
  for (size_t i = 0; i < with.size(); ++i) {
    const std::string name = with[i].m_pszName;
    const long long added = with[i].m_nInUse - without[i].m_nInUse;
    if (name.find("NPROC") != std::string::npos || name.find("pids.max") != std::string::npos) {
      EXPECT_GE(added, 8) << name;  // a generous window: other tasks come and go
    } else if (name.find("RLIMIT_NOFILE") == 0) {
      EXPECT_LT(added, 8) << name;
    }
  }
}
