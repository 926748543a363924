// plants.h — names planted in a work directory by someone else who may write
// it, and a bounded run of a call that a FIFO could block.
//
// A writer of the daemon's files must replace whatever lies at the file's
// name or its temporary name (".tmp") and never write through it; a reader
// must never wait on a FIFO. The victim is a file outside the directory
// that must come through untouched.
#ifndef ZEP_TESTS_SUPPORT_PLANTS_H
#define ZEP_TESTS_SUPPORT_PLANTS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "support/waitfor.h"

namespace zeptest {

enum PlantKind_ {
  kPlantNothing,
  kPlantLinkAtTmp,       // name.tmp -> victim
  kPlantLinkAtName,      // name -> victim
  kPlantHardLinkAtName,  // name is a second name of the victim
  kPlantFifoAtName,
  kPlantFifoAtTmp,
};

struct Plant_tag {
  PlantKind_ m_eKind;
  const char* m_pszWhat;
};

const Plant_tag kPlants[] = {
    {kPlantNothing, "nothing planted"},       {kPlantLinkAtTmp, "a link at the temporary name"},
    {kPlantLinkAtName, "a link at the name"}, {kPlantHardLinkAtName, "a hard link at the name"},
    {kPlantFifoAtName, "a FIFO at the name"}, {kPlantFifoAtTmp, "a FIFO at the temporary name"},
};

// Whether `path` is a regular file (no link): only those are read here, since
// a FIFO would hold the test.
inline bool IsRegular(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

inline std::string ReadAll(const std::string& path) {
  if (!IsRegular(path)) return "(not a regular file)";
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The victim's text before any plant.
const char kVictimText[] = "victim: must stay as it is\n";

// Clears `path` and its temporary name, writes the victim afresh (mode 0644)
// and plants `kind`. The victim must live on the same file system as `path`
// (for the hard link) but outside its directory.
inline void PlantAt(const std::string& path, const std::string& victim, PlantKind_ kind) {
  const std::string tmp = path + ".tmp";
  unlink(path.c_str());
  unlink(tmp.c_str());
  unlink(victim.c_str());
  std::ofstream(victim, std::ios::binary) << kVictimText;
  chmod(victim.c_str(), 0644);
  int rc = 0;
  switch (kind) {
    case kPlantNothing:
      break;
    case kPlantLinkAtTmp:
      rc = symlink(victim.c_str(), tmp.c_str());
      break;
    case kPlantLinkAtName:
      rc = symlink(victim.c_str(), path.c_str());
      break;
    case kPlantHardLinkAtName:
      rc = link(victim.c_str(), path.c_str());
      break;
    case kPlantFifoAtName:
      rc = mkfifo(path.c_str(), 0666);
      break;
    case kPlantFifoAtTmp:
      rc = mkfifo(tmp.c_str(), 0666);
      break;
  }
  ASSERT_EQ(0, rc) << path;
}

// The victim as it was; `path` a regular file of mode 0600 holding `text`;
// no temporary name left.
inline void ExpectReplaced(const std::string& path, const std::string& victim,
                           const std::string& text, const char* what) {
  SCOPED_TRACE(what);
  struct stat st {};
  ASSERT_EQ(0, lstat(victim.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777) << "the victim's mode changed";
  EXPECT_EQ(kVictimText, ReadAll(victim)) << "written through a planted name";
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  ASSERT_TRUE(S_ISREG(st.st_mode)) << "the planted name is still there";
  EXPECT_EQ(1u, st.st_nlink) << "the file shares its inode with another name";
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(text, ReadAll(path));
  EXPECT_NE(0, lstat((path + ".tmp").c_str(), &st)) << "the temporary name is left";
}

// Opens `fifo` for a moment when it is a FIFO: a thread that waits in its
// open, for reading or for writing, goes on (O_RDWR is both ends).
inline void NudgeFifo(const std::string& fifo) {
  struct stat st {};
  if (fifo.empty() || lstat(fifo.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (fd >= 0) close(fd);
}

// Both names of a file being replaced.
inline void NudgeFifos(const std::string& name) {
  NudgeFifo(name);
  NudgeFifo(name + ".tmp");
}

// Runs `fn` on a thread and tells whether it returned within `ms`. When it
// did not (it waits in the open of a FIFO), `name` and `name`.tmp are nudged
// until it does, so that the test fails instead of hanging.
inline bool ReturnsWithin(const std::function<void()>& fn, int ms, const std::string& name) {
  // A writer let go by a nudge may write into a FIFO nobody reads any more.
  signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> done{false};
  std::thread runner([&] {
    fn();
    done = true;
  });
  const bool inTime = WaitFor([&] { return done.load(); }, ms);
  while (!done.load()) {
    NudgeFifos(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  runner.join();
  return inTime;
}

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_PLANTS_H
