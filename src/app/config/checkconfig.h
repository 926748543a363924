// checkconfig.h — `dyrclient --check-config` (-t): what the daemon would
// run from a configuration file, told before it is run or reloaded.
//
// It reads the file with the daemon's own reader and prints every account
// (server, ports, the user name unscrambled, where a password kept outside
// the file comes from, each domain with its offline target; never a
// password), the console, and every warning the daemon
// would log. It takes no lock and creates, opens for writing or changes no
// file (not even the log), so it may run beside a daemon working in the
// same directory; that is what the unit's ExecReload= does before it sends
// SIGHUP.
//
// Main thread of a process that runs nothing else. No locks.
#ifndef ZEP_APP_CONFIG_CHECKCONFIG_H
#define ZEP_APP_CONFIG_CHECKCONFIG_H

#include <cstdio>

// Checks `iniPath`. The report goes to `out`, the reason a file is refused
// to `err`. 0 when at least one account would run; -1 when none would (no
// [DYR_CLIENT] section, a file that is missing or cannot be read) or when
// an account would be refused (its password cannot be read). Where a
// password comes from is told ("password: from credential NAME"), the
// password never.
int DyrCheckConfig(const char* iniPath, FILE* out, FILE* err);

// DyrCheckConfig as the command runs it: `out` and `err` (standard output
// and error) each through a journal stream (log/zepecho.h) when
// `journalStream` (JOURNAL_STREAM's value, may be null) names its
// descriptor, as under the unit's ExecReload=: a refusal at err, a
// warning at warning, the rest at info, so that `journalctl -p warning`
// shows why a reload failed. Elsewhere (terminal, pipe, file) the lines are
// DyrCheckConfig's, unchanged.
int DyrCheckConfigCommand(const char* iniPath, const char* journalStream, FILE* out, FILE* err);

#endif  // ZEP_APP_CONFIG_CHECKCONFIG_H
