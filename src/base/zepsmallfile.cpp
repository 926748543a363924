#include "base/zepsmallfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

void Wipe(std::string& text) {
  if (!text.empty()) std::memset(&text[0], 0, text.size());
  text.clear();
}

}  // namespace

int ZEPOpenRegular(const char* path, bool followLinks, int& fd) {
  fd = -1;
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  int got;
  do {
    got = open(path, flags);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    // ELOOP under O_NOFOLLOW: the name is a link. ENXIO: a socket, or a
    // device without its driver.
    if ((!followLinks && errno == ELOOP) || errno == ENXIO) return -2;
    return -1;
  }
  struct stat st {};
  if (fstat(got, &st) != 0) {
    const int err = errno;
    close(got);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(got);
    // A directory is only unreadable: no write replaces it either.
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    return -2;
  }
  fd = got;
  return 0;
}

int ZEPReadBounded(int fd, size_t limit, std::string& text) {
  text.clear();
  // One more than allowed tells a file past the limit from one at it.
  const size_t want = limit + 1 > limit ? limit + 1 : limit;
  size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      if (got >= want) break;
      // In steps, so that a 1 MiB cap costs a few KB for a small file.
      const size_t room = text.capacity() > got ? text.capacity() : 2 * got + 4096;
      text.resize(room < want ? room : want);
    }
    const ssize_t n = read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      Wipe(text);
      errno = err;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > limit) {
    Wipe(text);
    errno = EFBIG;
    return -1;
  }
  text.resize(got);
  return 0;
}

int ZEPLoadSmallFile(const char* path, bool followLinks, size_t limit, std::string& text) {
  text.clear();
  int fd = -1;
  const int rc = ZEPOpenRegular(path, followLinks, fd);
  if (rc != 0) return rc;
  const int read = ZEPReadBounded(fd, limit, text);
  const int err = errno;
  close(fd);
  errno = err;
  return read;
}

const char* ZEPReadFailure(const char* path) {
  int fd = -1;
  const int rc = ZEPOpenRegular(path, true, fd);
  if (rc == -2) return ZEP_NOT_REGULAR;
  if (rc != 0) return std::strerror(errno);
  close(fd);
  return "read error";
}

int ZEPSavePrivateFile(const char* path, const char* data, size_t len) {
  if (path == nullptr || *path == '\0' || (data == nullptr && len > 0)) {
    errno = EINVAL;
    return -1;
  }
  const std::string tmp = std::string(path) + ZEP_TMP_SUFFIX;
  // What lies at the temporary name (a write that died, or a name planted
  // there) goes first: unlink takes a link away, never what it points at.
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return -1;
  // A name that reappears in between makes the write fail, not follow it.
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // A narrower umask would leave the owner unable to read its own file.
  int rc = fchmod(fd, 0600);
  while (rc == 0 && len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      rc = -1;
      break;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  // On disk before it takes the name: a crash leaves the old file or the
  // new one, never an empty one.
  if (rc == 0) rc = fsync(fd);
  int saved = errno;
  if (close(fd) != 0 && rc == 0) {
    saved = errno;
    rc = -1;
  }
  // rename replaces whatever holds the name, a link or a FIFO included,
  // without opening it.
  if (rc == 0 && rename(tmp.c_str(), path) != 0) {
    saved = errno;
    rc = -1;
  }
  if (rc != 0) unlink(tmp.c_str());
  errno = saved;
  return rc;
}
