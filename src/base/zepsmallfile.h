// zepsmallfile.h — the small files of a directory that others may write
// too: read without ever waiting on what was planted there, and replaced
// without ever writing through it.
//
// Whoever else may write a directory may plant a link, a FIFO or a device
// under any name a program uses. So the readers here open with O_NONBLOCK
// (a FIFO without a writer, or a device, cannot hold the open), take
// regular files only (checked on the open descriptor, fstat) and read at
// most a cap; the writer puts a new file under a temporary name created
// afresh and renames it over the old name.
//
// Results: 0, -1 with errno set, and for the openers -2 (errno untouched)
// when the name is there but is not a regular file: callers tell their
// users so with ZEP_NOT_REGULAR, and everything else with strerror(errno).
//
// Owns nothing and takes no lock: any thread may call them. One writer per
// path at a time (the temporary name is shared).
#ifndef ZEP_BASE_ZEPSMALLFILE_H
#define ZEP_BASE_ZEPSMALLFILE_H

#include <cstddef>
#include <string>

// Why a file was refused by the openers' -2.
#define ZEP_NOT_REGULAR "not a regular file"
// The temporary name next to a file being replaced.
#define ZEP_TMP_SUFFIX ".tmp"

// Opens `path` for reading without waiting (O_RDONLY, O_NONBLOCK, O_NOCTTY,
// O_CLOEXEC, and O_NOFOLLOW unless `followLinks`). 0 with `fd` open on a
// regular file; -2 (fd -1) when the name is a FIFO, a device, a socket, or
// a link where links are refused; -1 (fd -1) with errno set when it cannot
// be opened (ENOENT: it is not there; EISDIR: a directory, which is only
// unreadable, since no write replaces it either).
int ZEPOpenRegular(const char* path, bool followLinks, int& fd);

// Reads `fd` to its end into `text`, refusing more than `limit` bytes (at
// most limit + 1 are read, so that one too many is seen): 0; -1 with errno
// EFBIG past the limit, or the read's errno. On failure `text` is empty and
// the bytes read were overwritten with zeros first; a caller whose bytes
// are secret reserves limit + 1 in `text` beforehand, so that the reader
// never moves them to a larger buffer and leaves no copy behind.
int ZEPReadBounded(int fd, size_t limit, std::string& text);

// The whole of a regular file, at most `limit` bytes, in `text`:
// ZEPOpenRegular then ZEPReadBounded. 0; -2 not a regular file; -1 with
// errno set (EFBIG past the limit). Kernel files (/proc, cgroups) are
// regular files that read to their end like any other.
int ZEPLoadSmallFile(const char* path, bool followLinks, size_t limit, std::string& text);

// Why `path` could not be read, for a message: the system's reason for a
// failed open, a directory's, ZEP_NOT_REGULAR, or "read error". Links are
// followed; nothing waits.
const char* ZEPReadFailure(const char* path);

// Puts `len` bytes under `path` as a new file, readable and writable by its
// owner only. The bytes go to `path` + ZEP_TMP_SUFFIX, created afresh
// (O_EXCL, O_NOFOLLOW, mode 0600 whatever the umask) after whatever held
// that name is unlinked, are synced to disk, and the file is renamed over
// `path`. So a reader sees the old file or the whole new one, and a link or
// a FIFO planted at either name is replaced, never followed or opened. 0,
// or -1 with errno set (the temporary file is then removed and `path` is as
// it was).
int ZEPSavePrivateFile(const char* path, const char* data, size_t len);

#endif  // ZEP_BASE_ZEPSMALLFILE_H
