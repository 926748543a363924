#include "app/workdir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* DirOrDot(const char* dir) { return dir[0] != '\0' ? dir : "./"; }

}  // namespace

int CheckWorkDir(const char* dir, ZEPString& why) {
  const char* path = DirOrDot(dir);
  struct stat st {};
  int err = 0;
  if (stat(path, &st) != 0) {
    err = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    err = ENOTDIR;
  } else if (access(path, W_OK | X_OK) != 0) {
    err = errno;
  }
  if (err == 0) return 0;
  why = "";
  why << "work directory " << path << ": " << std::strerror(err);
  return -1;
}

int CheckIniFile(const char* path, bool& exists, ZEPString& why) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    exists = true;
    return 0;
  }
  int err = errno;
  exists = false;
  if (err == ENOENT) return 0;
  why = "";
  why << "cannot read " << path << ": " << std::strerror(err);
  return -1;
}

const char* DyrReadFailure(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  close(fd);
  return dir ? std::strerror(EISDIR) : "read error";
}

int LockWorkDir(const char* dir, int& fd, long& holder, ZEPString& why) {
  holder = 0;
  ZEPString path(DirOrDot(dir));
  path << DYR_LOCK_FILE;
  why = "";
  fd = open(path.GetSafeText(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    why << "cannot open " << path << ": " << std::strerror(errno);
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    char text[32] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    fd = -1;
    if (err != EWOULDBLOCK) {
      why << "cannot lock " << path << ": " << std::strerror(err);
      return -1;
    }
    // The holder may not have written its id yet: then it stays unknown.
    if (n > 0) holder = std::strtol(text, nullptr, 10);
    why << "work directory " << DirOrDot(dir) << " is in use";
    if (holder > 0) {
      why << " by process " << holder;
    } else {
      why << " by another process";
    }
    return -1;
  }
  char text[32];
  int len = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(len), 0) != len) {
    // The lock holds without the id; only a refused start's message is poorer.
    why << "cannot write the process id to " << path << ": " << std::strerror(errno);
  }
  return 0;
}

void UnlockWorkDir(int fd) {
  if (fd < 0) return;
  (void)ftruncate(fd, 0);
  close(fd);
}

int MakePrivate(const char* path) {
  if (chmod(path, 0600) == 0 || errno == ENOENT) return 0;
  return -1;
}
