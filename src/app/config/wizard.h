// wizard.h — the configuration wizard (`dyrclient -c`): asks for one
// account on a terminal or any pair of streams and writes dyrclient.ini.
//
// Main thread only, before any other thread exists (it sets a signal
// handler that restores the terminal's echo). No locks.
#ifndef ZEP_APP_CONFIG_WIZARD_H
#define ZEP_APP_CONFIG_WIZARD_H

#include <cstdio>

// Host written by the wizard; the user edits the file for another server.
#define DYR_DEFAULT_HOST "ddns.example.net"

// The wizard over `in` and `out`, writing `path`. 0 written, -1 not saved.
// The password is read without echo when the input is a terminal; a file
// being rewritten keeps the server and ports of its first account.
int DoConfigIO(FILE* in, FILE* out, const char* path);

#endif  // ZEP_APP_CONFIG_WIZARD_H
