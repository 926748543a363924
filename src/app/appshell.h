// appshell.h — the daemon's command line, its three file paths, the banner
// and the configuration wizard.
//
// Owns the process-wide path buffers (work directory, log, ini and client id
// file), the option flags (-h, -c, -V, -t, --status) with the first unknown
// option, and the banner and version texts. They are written once on the
// main thread during start-up (ParseParam, ComposePaths) and only read
// afterwards, from any thread (the client nodes read szClnIDFilename).
// The wizard runs on the main thread before any other thread exists.
// No locks.
#ifndef ZEP_APP_APPSHELL_H
#define ZEP_APP_APPSHELL_H

#include <cstdio>

#define DYR_PATH_SIZE 256
// The longest work directory kept from "-w", before a "/" is appended.
#define DYR_WORKDIR_MAX 254

extern char g_UnixWorkingDir[DYR_PATH_SIZE];
extern char szLogFilename[DYR_PATH_SIZE];
extern char szIniFilename[DYR_PATH_SIZE];
extern char szClnIDFilename[DYR_PATH_SIZE];
extern bool g_bNeedHelp;
extern bool g_bNeedConfig;
// "--version" or "-V" was given.
extern bool g_bNeedVersion;
// "--check-config" or "-t" was given: check dyrclient.ini and end.
extern bool g_bNeedCheck;
// "--status" was given: report on the daemon of the work directory, then end.
extern bool g_bNeedStatus;
// The first argument after the program name that starts with "-" and is no
// option of ours (nor the directory after "-w"); null when there is none.
// It points into the argv given to ParseParam, which must outlive its use.
extern const char* g_pszUnknownOption;
extern const char g_szVersionNo[];
// The version as the status file gives it.
#define DYR_VERSION_TEXT "2.01a build 120"
// What "--version" prints, with its line end.
extern const char g_szVersionLine[];

// Host written by the wizard; the user edits the file for another server.
#define DYR_DEFAULT_HOST "ddns.example.net"

// Scans every argument (the program name included) for -h (or --help), -c,
// -w <dir>, -V (or --version), -t (or --check-config) and --status, and
// notes the first unknown option.
// Returns 0, or -1 when a work directory does not fit the path buffers
// (the directory is then left empty and must not be used).
int ParseParam(int argc, char** argv);
// Sets the work directory as "-w" does: at most 254 characters, then "/".
// -1 (and an empty directory) when it is longer than that.
int SetWorkDir(const char* dir);
// Composes the three file paths in the work directory; -1 when one of them
// does not fit its buffer (the paths are then left empty).
int ComposePaths();
// The usage lines, to `out`.
void DoHelp(FILE* out = stdout);

// The temporary name next to a file being replaced.
#define DYR_TMP_SUFFIX ".tmp"

// Puts `len` bytes under `path` as a new file, readable and writable by its
// owner only: the files of the work directory carry the account or the
// client id, which is all a report needs to move the domains. The bytes go
// to `path` + ".tmp", created afresh (O_EXCL, O_NOFOLLOW, mode 0600) after
// whatever held that name is unlinked, are synced to disk, and the file is
// renamed over `path`. So a reader sees the old file or the whole new one,
// and a link or a FIFO planted at either name is replaced, never followed
// or opened. 0, or -1 with errno set (the temporary file is then removed
// and `path` is as it was). Any thread; one writer per path at a time.
int SavePrivateFile(const char* path, const char* data, size_t len);

// The wizard on stdin/stdout, writing szIniFilename. 0 written, -1 not saved.
// The password is read without echo when the input is a terminal; a file
// being rewritten keeps the server and ports of its first account.
int DoConfig();
// The same over any streams and target path (for tests and embedding).
int DoConfigIO(FILE* in, FILE* out, const char* path);

#endif  // ZEP_APP_APPSHELL_H
