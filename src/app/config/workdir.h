// workdir.h — start-up checks of the work directory and the lock that keeps
// one daemon per directory.
//
// Two daemons on one directory would share the log and the client id, and
// stopping either would take the domains offline while the other runs. The
// lock is an flock(2) on "dyrclient.pid" in the directory, held by an open
// descriptor for the life of the process (the kernel drops it when the
// process ends, however it ends); the file holds the holder's process id so
// that a refused start can say who holds it.
//
// Main thread, at start-up, before anything else is written to the
// directory. No locks of the process are taken. Results: 0, or -1 with a
// text for standard error in `why`.
//
// Whoever else may write the directory may plant a link, a FIFO or a device
// under any name the daemon uses. So the small files of the directory are
// read through ZEPOpenRegular (base/zepsmallfile.h): regular files only,
// and nothing can block the open or the read (its writer,
// ZEPSavePrivateFile, replaces names by rename). The files of the work
// directory carry the account or the client id, which is all a report
// needs to move the domains: they are written private. The readers below
// may be called from any thread.
//
// Another process asks whether a daemon holds a directory through
// ProbeWorkDirLock, which takes no lock where the system lists the locks
// held (Linux: /proc/locks).
#ifndef ZEP_APP_CONFIG_WORKDIR_H
#define ZEP_APP_CONFIG_WORKDIR_H

#include <sys/types.h>

#include <cstddef>

#include "base/zepstring.h"

#define DYR_LOCK_FILE "dyrclient.pid"

// `dir` is the work directory as composed ("" is the current directory,
// otherwise it ends in "/"): it must be a directory we may create files in.
int CheckWorkDir(const char* dir, ZEPString& why);

// Whether the configuration file can be read: 0 with `exists` set when it
// opens or is absent (ENOENT); -1 when it is there but cannot be opened
// (permissions, a loop of links, ...), which must never pass for missing.
int CheckIniFile(const char* path, bool& exists, ZEPString& why);

// Under the service manager an unreadable dyrclient.ini is nearly always a
// file put into the state directory by root after the directory was given
// to the service's user (the owner of the work directory). What to do,
// appended to CheckIniFile's `why`: "" unless `iniPath` is refused for its
// permissions (EACCES) or when the owners cannot be told.
ZEPString DyrIniAccessHint(const char* dir, const char* iniPath);
// Its text for a file of `fileOwner` in a work directory of `dirOwner`:
// give the file to the directory's owner (by name where the system knows
// it), or, when it is that owner's already, make it readable.
ZEPString DyrIniOwnerHint(const char* dir, const char* iniPath, uid_t dirOwner, uid_t fileOwner);

// Takes the lock in `dir` and writes our process id into it. 0 with `fd`
// the descriptor to keep open; -1 with `holder` the process id that holds
// it (0 when the lock is free or the id is unknown) and `why` set.
int LockWorkDir(const char* dir, int& fd, long& holder, ZEPString& why);

// Empties the process id (the directory is free again) and drops the lock.
void UnlockWorkDir(int fd);

// Whether a daemon holds the lock of `dir`: 1 held (`holder` its process id
// as written in the file, 0 when unknown), 0 free, -1 when it cannot be
// told (`why` says why). Where /proc/locks can be read, it is read and
// nothing is locked. A lock it does not list may still be held by a daemon
// in another process-id namespace (the list shows only processes visible
// here): only when the file still names a process, a shared flock is tried
// and dropped at once; so it is where /proc/locks cannot be read at all.
int ProbeWorkDirLock(const char* dir, long& holder, ZEPString& why);

// Whether the text of /proc/locks lists an flock(2) lock (not a waiter for
// one) on the file of device `major`:`minor` and inode `ino`. Any bytes give
// a defined answer.
bool FlockListed(const char* text, size_t len, unsigned major, unsigned minor, unsigned long ino);

// Narrows an existing regular file to its owner (0600). A missing file, a
// link (never followed) or another kind of file is left alone and no error:
// the next write replaces it.
int MakePrivate(const char* path);

// Whether others than the daemon (running as `euid`) may plant names in a
// work directory of `mode` owned by `owner`: group or world write without
// the sticky bit, or another owner than `euid`.
bool WorkDirOpenToOthers(mode_t mode, uid_t owner, uid_t euid);

// The warning for the work directory `dir` (as composed) when it is open to
// others: 1 with `line` naming its mode in octal and its owner (the user
// name when known, else the number); 0 (line empty) when it is not, or
// cannot be looked at (CheckWorkDir has told that).
int WorkDirWarning(const char* dir, ZEPString& line);

#endif  // ZEP_APP_CONFIG_WORKDIR_H
