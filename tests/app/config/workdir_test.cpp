// The work directory's start-up checks and its one-instance lock.
#include "app/config/workdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/plants.h"
#include "support/tempdir.h"
#include "support/zepstring_text.h"

namespace {

using zeptest::Str;

class WorkDir : public ::testing::Test {
 protected:
  zeptest::TempDir tmp_;
  std::string dir_ = tmp_.path() + "/";
};

TEST_F(WorkDir, MissingOrNotADirectoryIsReportedWithItsReason) {
  ZEPString why;
  EXPECT_EQ(CheckWorkDir(dir_.c_str(), why), 0);
  std::string missing = dir_ + "no/";
  EXPECT_EQ(CheckWorkDir(missing.c_str(), why), -1);
  EXPECT_EQ(Str(why), "work directory " + missing + ": No such file or directory");
  std::ofstream(dir_ + "file") << "x";
  std::string file = dir_ + "file/";
  EXPECT_EQ(CheckWorkDir(file.c_str(), why), -1);
  EXPECT_NE(Str(why).find("Not a directory"), std::string::npos) << Str(why);
  // "" is the current directory.
  EXPECT_EQ(CheckWorkDir("", why), 0);
}

TEST_F(WorkDir, UnreadableConfigurationIsNotAMissingOne) {
  std::string ini = dir_ + "dyrclient.ini";
  bool exists = true;
  ZEPString why;
  EXPECT_EQ(CheckIniFile(ini.c_str(), exists, why), 0);
  EXPECT_FALSE(exists);
  std::ofstream(ini) << "[DYR_CLIENT]\n";
  EXPECT_EQ(CheckIniFile(ini.c_str(), exists, why), 0);
  EXPECT_TRUE(exists);
  // A loop of links cannot be opened even by root.
  unlink(ini.c_str());
  ASSERT_EQ(symlink("loop", ini.c_str()), 0);
  ASSERT_EQ(symlink("dyrclient.ini", (dir_ + "loop").c_str()), 0);
  EXPECT_EQ(CheckIniFile(ini.c_str(), exists, why), -1);
  EXPECT_EQ(Str(why), "cannot read " + ini + ": Too many levels of symbolic links");
}

TEST_F(WorkDir, SecondLockIsRefusedWithTheHoldersIdAndFreedOnUnlock) {
  int fd = -1;
  long holder = -1;
  ZEPString why;
  ASSERT_EQ(LockWorkDir(dir_.c_str(), fd, holder, why), 0) << Str(why);
  EXPECT_GE(fd, 0);
  std::string pidFile = dir_ + DYR_LOCK_FILE;
  struct stat st {};
  ASSERT_EQ(stat(pidFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // flock locks belong to the open file, so a second open in this process
  // is refused like another process would be.
  int fd2 = -1;
  EXPECT_EQ(LockWorkDir(dir_.c_str(), fd2, holder, why), -1);
  EXPECT_EQ(fd2, -1);
  EXPECT_EQ(holder, static_cast<long>(getpid()));
  EXPECT_EQ(Str(why),
            "work directory " + dir_ + " is in use by process " + std::to_string(getpid()));

  UnlockWorkDir(fd);
  ASSERT_EQ(LockWorkDir(dir_.c_str(), fd2, holder, why), 0) << Str(why);
  UnlockWorkDir(fd2);
  ASSERT_EQ(stat(pidFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0) << "a free directory names no process";
}

// What the lock file holds is read as a process id only when it is one.
TEST_F(WorkDir, RefusedStartNamesTheHolderOnlyByAProcessId) {
  const struct {
    std::string text;
    long holder;
  } cases[] = {
      {"4321\n", 4321}, {" \t77 left over", 77}, {"2147483647", 2147483647}, {"-5\n", 0},
      {"0\n", 0},       {"2147483648\n", 0},     {"99999999999", 0},         {"", 0},
      {"pid", 0},
  };
  int fd = -1;
  long holder = -1;
  ZEPString why;
  ASSERT_EQ(LockWorkDir(dir_.c_str(), fd, holder, why), 0) << Str(why);
  for (const auto& c : cases) {
    ASSERT_EQ(0, ftruncate(fd, 0));
    ASSERT_EQ(static_cast<ssize_t>(c.text.size()), pwrite(fd, c.text.data(), c.text.size(), 0));
    int fd2 = -1;
    EXPECT_EQ(LockWorkDir(dir_.c_str(), fd2, holder, why), -1) << c.text;
    EXPECT_EQ(holder, c.holder) << c.text;
    const std::string by =
        c.holder > 0 ? "by process " + std::to_string(c.holder) : "by another process";
    EXPECT_EQ(Str(why), "work directory " + dir_ + " is in use " + by) << c.text;
    EXPECT_EQ(ProbeWorkDirLock(dir_.c_str(), holder, why), 1) << c.text;
    EXPECT_EQ(holder, c.holder) << c.text;
  }
  UnlockWorkDir(fd);
}

TEST(WorkDirLockList, FlockListedReadsHoldersOnly) {
  const char kList[] =
      "1: POSIX  ADVISORY  WRITE 900 fe:00:77 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 901 fe:00:5375101 0 EOF\n"
      "2: -> FLOCK  ADVISORY  WRITE 902 fe:00:88 0 EOF\n"
      "3: OFDLCK ADVISORY  READ  -1 08:01:99 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 903 00:28:10986330 0 EOF";  // no line end at the end
  const size_t n = sizeof kList - 1;
  EXPECT_TRUE(FlockListed(kList, n, 0xfe, 0, 5375101));
  EXPECT_TRUE(FlockListed(kList, n, 0, 0x28, 10986330));
  EXPECT_FALSE(FlockListed(kList, n, 0xfe, 0, 77)) << "a record lock is not the flock";
  EXPECT_FALSE(FlockListed(kList, n, 0xfe, 0, 88)) << "a waiter holds nothing";
  EXPECT_FALSE(FlockListed(kList, n, 8, 1, 99));
  EXPECT_FALSE(FlockListed(kList, n, 0xfe, 1, 5375101)) << "another device";
  EXPECT_FALSE(FlockListed(kList, n, 0xfe, 0, 537510));
  EXPECT_FALSE(FlockListed(kList, 60, 0xfe, 0, 5375101)) << "cut before the line";
  const char kJunk[] = "\0\n\n   \nFLOCK\n9: FLOCK\n";
  const std::string junk = std::string(kJunk, sizeof kJunk - 1) + std::string(5000, ' ');
  EXPECT_FALSE(FlockListed(junk.data(), junk.size(), 0, 0, 0));
  EXPECT_FALSE(FlockListed(nullptr, 0, 0, 0, 0));
}

TEST_F(WorkDir, ProbeTellsAHeldLockWithoutTakingIt) {
  long holder = -1;
  ZEPString why;
  EXPECT_EQ(ProbeWorkDirLock(dir_.c_str(), holder, why), 0) << "never used";
  int fd = -1;
  ASSERT_EQ(LockWorkDir(dir_.c_str(), fd, holder, why), 0) << Str(why);
  EXPECT_EQ(ProbeWorkDirLock(dir_.c_str(), holder, why), 1) << Str(why);
  EXPECT_EQ(holder, static_cast<long>(getpid()));
  UnlockWorkDir(fd);
  EXPECT_EQ(ProbeWorkDirLock(dir_.c_str(), holder, why), 0);
  EXPECT_EQ(holder, 0);
  // A daemon that was killed leaves its id behind, but no lock.
  std::ofstream(dir_ + DYR_LOCK_FILE) << "999999\n";
  EXPECT_EQ(ProbeWorkDirLock(dir_.c_str(), holder, why), 0) << Str(why);
  // Whatever it found, the lock is still free for a daemon to take.
  ASSERT_EQ(LockWorkDir(dir_.c_str(), fd, holder, why), 0) << Str(why);
  UnlockWorkDir(fd);
}

TEST_F(WorkDir, MakePrivateNarrowsAnExistingFileOnly) {
  std::string id = dir_ + "clientid.txt";
  EXPECT_EQ(MakePrivate(id.c_str()), 0);
  EXPECT_NE(access(id.c_str(), F_OK), 0) << "must not create it";
  std::ofstream(id) << "7";
  chmod(id.c_str(), 0644);
  EXPECT_EQ(MakePrivate(id.c_str()), 0);
  struct stat st {};
  ASSERT_EQ(stat(id.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Who else may plant names in the work directory: a table over the mode and
// the owner, for a daemon running as uid 1000.
TEST(WorkDirExposure, OthersWhoMayWriteOrOwnTheDirectoryAreTold) {
  const struct {
    mode_t mode;
    uid_t owner;
    bool told;
  } cases[] = {
      {S_IFDIR | 0755, 1000, false},  {S_IFDIR | 0700, 1000, false}, {S_IFDIR | 0775, 1000, true},
      {S_IFDIR | 0757, 1000, true},   {S_IFDIR | 0777, 1000, true},  {S_IFDIR | 01777, 1000, false},
      {S_IFDIR | 01775, 1000, false}, {S_IFDIR | 02775, 1000, true}, {S_IFDIR | 0755, 0, true},
      {S_IFDIR | 0700, 1001, true},   {S_IFDIR | 01777, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.told, WorkDirOpenToOthers(c.mode, c.owner, 1000))
        << std::oct << c.mode << std::dec << " owner " << c.owner;
  }
  EXPECT_FALSE(WorkDirOpenToOthers(S_IFDIR | 0755, 0, 0)) << "root's own directory";
}

TEST_F(WorkDir, WarningNamesTheModeAndTheOwner) {
  ZEPString line;
  ASSERT_EQ(0, chmod(dir_.c_str(), 0700));
  EXPECT_EQ(0, WorkDirWarning(dir_.c_str(), line));
  EXPECT_TRUE(line.IsEmpty());
  ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
  EXPECT_EQ(1, WorkDirWarning(dir_.c_str(), line));
  struct stat st {};
  ASSERT_EQ(0, stat(dir_.c_str(), &st));
  const std::string text = Str(line);
  EXPECT_EQ(0u, text.find("Work directory " + dir_ + " (mode 0777, owner ")) << text;
  if (st.st_uid == 0) {
    EXPECT_NE(std::string::npos, text.find("owner root)")) << text;
  }
  // A directory that is not there was told of by CheckWorkDir.
  EXPECT_EQ(0, WorkDirWarning((dir_ + "missing/").c_str(), line));
}

// Names planted where the daemon reads or locks: nothing waits on a FIFO,
// no link is followed into a file outside the directory, and what is
// refused says so.
TEST_F(WorkDir, PlantedNamesAreRefusedWithoutWaiting) {
  const std::string victim = dir_ + "../" + std::to_string(getpid()) + "_victim";
  const std::string pidFile = dir_ + DYR_LOCK_FILE;
  const std::string ini = dir_ + "dyrclient.ini";
  for (zeptest::PlantKind_ kind : {zeptest::kPlantFifoAtName, zeptest::kPlantLinkAtName}) {
    const bool fifo = kind == zeptest::kPlantFifoAtName;
    SCOPED_TRACE(fifo ? "FIFO" : "link");
    zeptest::PlantAt(pidFile, victim, kind);
    zeptest::PlantAt(ini, victim, kind);
    int fd = -1;
    long holder = 0;
    ZEPString why;
    int rc = 0;
    EXPECT_TRUE(zeptest::ReturnsWithin([&] { rc = LockWorkDir(dir_.c_str(), fd, holder, why); },
                                       5000, pidFile));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("cannot open " + pidFile + ": not a regular file", Str(why));
    if (fd >= 0) UnlockWorkDir(fd);
    EXPECT_TRUE(zeptest::ReturnsWithin([&] { rc = ProbeWorkDirLock(dir_.c_str(), holder, why); },
                                       5000, pidFile));
    EXPECT_EQ(-1, rc) << "a planted name tells nothing of a daemon";
    EXPECT_EQ("cannot read " + pidFile + ": not a regular file", Str(why));
    // The configuration may be a link (the administrator's choice); what it
    // leads to must be a file.
    bool exists = false;
    EXPECT_TRUE(
        zeptest::ReturnsWithin([&] { rc = CheckIniFile(ini.c_str(), exists, why); }, 5000, ini));
    if (fifo) {
      EXPECT_EQ(-1, rc);
      EXPECT_EQ("cannot read " + ini + ": not a regular file", Str(why));
    } else {
      EXPECT_EQ(0, rc);
      EXPECT_TRUE(exists);
    }
    struct stat st {};
    ASSERT_EQ(0, stat(victim.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(zeptest::kVictimText, zeptest::ReadAll(victim));
  }
  unlink(victim.c_str());
}

TEST_F(WorkDir, MakePrivateNeverFollowsALink) {
  const std::string victim = dir_ + "../" + std::to_string(getpid()) + "_narrow";
  const std::string id = dir_ + "clientid.txt";
  zeptest::PlantAt(id, victim, zeptest::kPlantLinkAtName);
  EXPECT_EQ(0, MakePrivate(id.c_str()));
  struct stat st {};
  ASSERT_EQ(0, stat(victim.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777) << "narrowed through the link";
  unlink(victim.c_str());
  ASSERT_EQ(0, mkfifo((dir_ + "fifo").c_str(), 0644));
  EXPECT_EQ(0, MakePrivate((dir_ + "fifo").c_str()));
}

}  // namespace

TEST(WorkDirIniHint, AnUnreadableFileIsGivenToTheDirectorysOwnerOrMadeReadable) {
  const struct {
    const char* dir;
    uid_t dirOwner, fileOwner;
    std::vector<std::string> says;
  } cases[] = {
      // root's copy in the state directory of a service user: chown, by name.
      {"/var/lib/dyrclient/",
       0,
       4242,
       {"owner of /var/lib/dyrclient/ (root, uid 0)",
        "chown --reference=/var/lib/dyrclient/ /var/lib/dyrclient/dyrclient.ini", "ExecStartPre="}},
      {"/var/lib/dyrclient/",
       61234,
       0,
       {"(uid 61234)", "chown --reference=/var/lib/dyrclient/ /var/lib/dyrclient/dyrclient.ini"}},
      // The service's own file with its read bit off: chmod, not chown.
      {"/var/lib/dyrclient/", 61234, 61234, {"chmod 600 /var/lib/dyrclient/dyrclient.ini"}},
      // The current directory is named as "./".
      {"", 61234, 0, {"owner of ./ (", "chown --reference=./ /var/lib/dyrclient/dyrclient.ini"}},
  };
  for (const auto& c : cases) {
    const std::string hint =
        Str(DyrIniOwnerHint(c.dir, "/var/lib/dyrclient/dyrclient.ini", c.dirOwner, c.fileOwner));
    EXPECT_EQ(hint.rfind("; ", 0), 0u) << hint;
    for (const std::string& part : c.says) EXPECT_NE(hint.find(part), std::string::npos) << hint;
    EXPECT_EQ(hint.find(c.dirOwner == c.fileOwner ? "chown" : "chmod"), std::string::npos) << hint;
  }
  // A file that can be read, or is missing, needs no hint.
  zeptest::TempDir tmp;
  const std::string dir = tmp.path() + "/";
  EXPECT_TRUE(Str(DyrIniAccessHint(dir.c_str(), (dir + "dyrclient.ini").c_str())).empty());
  std::ofstream(dir + "dyrclient.ini") << "[DYR_CLIENT]\n";
  EXPECT_TRUE(Str(DyrIniAccessHint(dir.c_str(), (dir + "dyrclient.ini").c_str())).empty());
}
