#include "app/config/workdir.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/zepdecimal.h"
#include "base/zepsmallfile.h"

namespace {

const char* DirOrDot(const char* dir) { return dir[0] != '\0' ? dir : "./"; }

// The process id in the first `n` bytes of a lock file ("1234\n"); 0 when
// they hold none.
long HolderText(const char* text, ssize_t n) {
  uint64_t pid = 0;
  if (n <= 0 || ZEPParseDecimal(text, static_cast<size_t>(n), 1, 0x7fffffff, pid,
                                kZepDecimalBlanks | kZepDecimalPrefix) != 0)
    return 0;
  return static_cast<long>(pid);
}

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
  // A link is the administrator's choice; what it leads to must still be a
  // file: a FIFO would hold the start (and every reload) for ever.
  int fd = -1;
  const int rc = ZEPOpenRegular(path, true, fd);
  int err = errno;
  // A directory is there and fails when it is read, as it always has.
  if (rc == 0 || (rc == -1 && err == EISDIR)) {
    if (fd >= 0) close(fd);
    exists = true;
    return 0;
  }
  exists = false;
  if (rc == -1 && err == ENOENT) return 0;
  why = "";
  why << "cannot read " << path << ": " << (rc == -2 ? ZEP_NOT_REGULAR : std::strerror(err));
  return -1;
}

ZEPString DyrIniOwnerHint(const char* dir, const char* iniPath, uid_t dirOwner, uid_t fileOwner) {
  const char* shownDir = DirOrDot(dir);
  ZEPString hint;
  if (dirOwner == fileOwner) {
    hint << "; it belongs to the service's user (uid " << static_cast<unsigned long>(fileOwner)
         << ") already: chmod 600 " << iniPath << " makes it readable";
    return hint;
  }
  ZEPString owner;
  passwd pw{};
  passwd* found = nullptr;
  char buf[1024];
  if (getpwuid_r(dirOwner, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
    owner << found->pw_name << ", ";
  owner << "uid " << static_cast<unsigned long>(dirOwner);
  hint << "; the service runs as the owner of " << shownDir << " (" << owner
       << "), which must own it: as root, chown --reference=" << shownDir << " " << iniPath
       << " (the unit's ExecStartPre= and ExecReload= do so at every start and reload; see "
          "dyrclient(8))";
  return hint;
}

ZEPString DyrIniAccessHint(const char* dir, const char* iniPath) {
  if (access(iniPath, R_OK) == 0 || errno != EACCES) return ZEPString("");
  struct stat d {
  }, f{};
  if (stat(DirOrDot(dir), &d) != 0 || stat(iniPath, &f) != 0) return ZEPString("");
  return DyrIniOwnerHint(dir, iniPath, d.st_uid, f.st_uid);
}

bool WorkDirOpenToOthers(mode_t mode, uid_t owner, uid_t euid) {
  // With the sticky bit others may add names but neither remove nor rename
  // ours, and every name we write is created afresh (O_EXCL, O_NOFOLLOW).
  const bool othersWrite = (mode & (S_IWGRP | S_IWOTH)) != 0 && (mode & S_ISVTX) == 0;
  return othersWrite || owner != euid;
}

int WorkDirWarning(const char* dir, ZEPString& line) {
  line = "";
  const char* path = DirOrDot(dir);
  struct stat st {};
  if (stat(path, &st) != 0 || !WorkDirOpenToOthers(st.st_mode, st.st_uid, geteuid())) return 0;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  line << "Work directory " << path << " (mode " << mode << ", owner ";
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[1024];
  if (getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
    line << found->pw_name;
  } else {
    line << static_cast<unsigned long>(st.st_uid);
  }
  line << ") can be written by others than this daemon's user; its files are replaced, never "
          "followed, but keep it writable by that user alone.";
  return 1;
}

int LockWorkDir(const char* dir, int& fd, long& holder, ZEPString& why) {
  holder = 0;
  ZEPString path(DirOrDot(dir));
  path << DYR_LOCK_FILE;
  why = "";
  // Never through a link (the id is written into the file, which is
  // truncated first), and a FIFO must not hold the start.
  fd = open(path.GetSafeText(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    why << "cannot open " << path << ": "
        << (errno == ELOOP ? ZEP_NOT_REGULAR : std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why << "cannot open " << path << ": " << ZEP_NOT_REGULAR;
    close(fd);
    fd = -1;
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
    holder = HolderText(text, n);
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
  // An emptied file names no process; if that fails, the released lock alone
  // tells a later start that nobody holds the directory.
  if (ftruncate(fd, 0) != 0) {
  }
  close(fd);
}

namespace {

const size_t kLockListMaxBytes = 4u << 20;

// The process id written in an open lock file; 0 when it holds none.
long HolderIn(int fd) {
  char text[32] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  return HolderText(text, n);
}

// One space-separated word of a line; false at the line's end.
bool NextWord(const char*& p, const char* end, std::string& word) {
  while (p < end && *p == ' ') ++p;
  const char* start = p;
  while (p < end && *p != ' ') ++p;
  word.assign(start, static_cast<size_t>(p - start));
  return !word.empty();
}

}  // namespace

bool FlockListed(const char* text, size_t len, unsigned major, unsigned minor, unsigned long ino) {
  if (text == nullptr) return false;
  char want[64];
  std::snprintf(want, sizeof want, "%02x:%02x:%lu", major, minor, ino);
  const char* end = text + len;
  for (const char* line = text; line < end;) {
    const char* eol =
        static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    if (eol == nullptr) eol = end;
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5375101 0 EOF"; a waiter's line
    // has "->" after the number.
    const char* p = line;
    std::string number, type, mode, access, pid, where;
    if (NextWord(p, eol, number) && NextWord(p, eol, type) && type == "FLOCK" &&
        NextWord(p, eol, mode) && NextWord(p, eol, access) && NextWord(p, eol, pid) &&
        NextWord(p, eol, where) && where == want)
      return true;
    line = eol + 1;
  }
  return false;
}

int ProbeWorkDirLock(const char* dir, long& holder, ZEPString& why) {
  holder = 0;
  why = "";
  ZEPString path(DirOrDot(dir));
  path << DYR_LOCK_FILE;
  struct stat st {};
  if (lstat(path.GetSafeText(), &st) != 0) {
    if (errno == ENOENT) return 0;  // no daemon has ever run here
    why << "cannot look at " << path << ": " << std::strerror(errno);
    return -1;
  }
  // The daemon's lock is never anything but a file of its own: a name
  // planted in its place tells nothing, and must not block us.
  if (!S_ISREG(st.st_mode)) {
    why << "cannot read " << path << ": " << ZEP_NOT_REGULAR;
    return -1;
  }
  int fd = -1;
  const int opened = ZEPOpenRegular(path.GetSafeText(), false, fd);
  const int openErr = errno;
  if (opened == -2) {
    why << "cannot read " << path << ": " << ZEP_NOT_REGULAR;
    return -1;
  }
  // The list below is searched for the file opened, should the name have
  // changed since it was looked at; a file we may not open (another user's
  // daemon) is searched for by the name's identity.
  if (fd >= 0 && fstat(fd, &st) == 0) holder = HolderIn(fd);
  std::string locks;
  // The list grows with the locks of the whole system; one past the cap is
  // as good as none (the lock is then tried below).
  const bool haveList = ZEPLoadSmallFile("/proc/locks", true, kLockListMaxBytes, locks) == 0;
  int rc = 0;
  if (haveList && FlockListed(locks.data(), locks.size(), major(st.st_dev), minor(st.st_dev),
                              static_cast<unsigned long>(st.st_ino))) {
    rc = 1;
  } else if (haveList && fd >= 0 && holder == 0) {
    // An orderly stop empties the file: free. One that still names a
    // process may belong to a daemon out of sight, and is tried below.
    rc = 0;
  } else if (fd < 0) {
    why << "cannot read " << path << ": " << std::strerror(openErr);
    rc = -1;
  } else if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
    flock(fd, LOCK_UN);
    rc = 0;
  } else if (errno == EWOULDBLOCK) {
    rc = 1;
  } else {
    why << "cannot test the lock of " << path << ": " << std::strerror(errno);
    rc = -1;
  }
  if (fd >= 0) close(fd);
  if (rc != 1) holder = 0;
  return rc;
}

int MakePrivate(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISREG(st.st_mode)) return 0;
  // The name may have become a link since: the change of mode never
  // follows one (EOPNOTSUPP), so no file outside the directory is narrowed.
  if (fchmodat(AT_FDCWD, path, 0600, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  return errno == ENOENT || errno == EOPNOTSUPP ? 0 : -1;
}
