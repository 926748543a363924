// cmdline.h — the daemon's command line, its three file paths, the banner
// and the configuration wizard.
//
// Owns the process-wide path buffers (work directory, log, ini and client id
// file), the option flags (-h, -c, -V, -t, --status) with the first unknown
// option, and the banner and version texts. They are written once on the
// main thread during start-up (ParseParam, ComposePaths) and afterwards
// read by the entry point (main.cpp) on the main thread alone: every other
// unit is handed the path or flag it needs (the run set the client id
// file's path, the outlets the work directory).
// The wizard runs on the main thread before any other thread exists.
// No locks.
#ifndef ZEP_APP_DAEMON_CMDLINE_H
#define ZEP_APP_DAEMON_CMDLINE_H

#include <cstdio>

#include "app/config/wizard.h"
#include "app/proto/texts.h"

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
// What "--version" prints, with its line end.
extern const char g_szVersionLine[];

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

// The wizard on stdin/stdout, writing szIniFilename. 0 written, -1 not saved.
// The password is read without echo when the input is a terminal; a file
// being rewritten keeps the server and ports of its first account.
int DoConfig();

#endif  // ZEP_APP_DAEMON_CMDLINE_H
