#include "app/daemon/cmdline.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/config/wizard.h"
#include "app/proto/scramble.h"
#include "base/zepstring.h"

char g_UnixWorkingDir[DYR_PATH_SIZE] = "";
char szLogFilename[DYR_PATH_SIZE] = "";
char szIniFilename[DYR_PATH_SIZE] = "";
char szClnIDFilename[DYR_PATH_SIZE] = "";
bool g_bNeedHelp = false;
bool g_bNeedConfig = false;
bool g_bNeedVersion = false;
bool g_bNeedCheck = false;
bool g_bNeedStatus = false;
const char* g_pszUnknownOption = nullptr;
const char g_szVersionLine[] = "dyrclient " DYR_VERSION_TEXT "\n";

const char g_szVersionNo[] =
    "\r\n\r\n"
    "DYR Dynamic DNS Client for Unix  Ver 2.01a Build 120\r\n"
    "Copyright (C) 2002-2009 the dyrclient developers\r\n"
    "All rights reserved.\r\n"
    "http://dyrclient.example.net/\r\n";

int SetWorkDir(const char* dir) {
  size_t n = std::strlen(dir);
  g_UnixWorkingDir[0] = '\0';
  if (n > DYR_WORKDIR_MAX) return -1;
  std::memcpy(g_UnixWorkingDir, dir, n);
  g_UnixWorkingDir[n] = '\0';
  if (n == 0 || g_UnixWorkingDir[n - 1] != '/') {
    g_UnixWorkingDir[n] = '/';
    g_UnixWorkingDir[n + 1] = '\0';
  }
  return 0;
}

int ParseParam(int argc, char** argv) {
  int rc = 0;
  g_pszUnknownOption = nullptr;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      g_bNeedHelp = true;
    } else if (std::strcmp(arg, "-c") == 0) {
      g_bNeedConfig = true;
    } else if (std::strcmp(arg, "-w") == 0) {
      // A "-w" in the last position is ignored; its directory is never
      // itself tested as an option.
      if (++i < argc) rc = SetWorkDir(argv[i]);
    } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
      g_bNeedVersion = true;
    } else if (std::strcmp(arg, "-t") == 0 || std::strcmp(arg, "--check-config") == 0) {
      g_bNeedCheck = true;
    } else if (std::strcmp(arg, "--status") == 0) {
      g_bNeedStatus = true;
    } else if (i > 0 && arg[0] == '-' && g_pszUnknownOption == nullptr) {
      // The program name may be anything; a typo among the options must not
      // start the daemon in the wrong directory or run the wizard.
      g_pszUnknownOption = arg;
    }
  }
  return rc;
}

int ComposePaths() {
  static const char* const kNames[] = {"dyrclient.log", "dyrclient.ini", "clientid.txt"};
  char* const targets[] = {szLogFilename, szIniFilename, szClnIDFilename};
  for (int k = 0; k < 3; ++k) {
    int n = std::snprintf(targets[k], DYR_PATH_SIZE, "%s%s", g_UnixWorkingDir, kNames[k]);
    if (n < 0 || n >= DYR_PATH_SIZE) {
      szLogFilename[0] = szIniFilename[0] = szClnIDFilename[0] = '\0';
      return -1;
    }
  }
  return 0;
}

void DoHelp(FILE* out) {
  std::fputs("Usage: dyrclient -h -c -w /home/dyrclient \n", out);
  std::fputs("-h: help message. \n", out);
  std::fputs("-c: do configuration. \n", out);
  std::fputs("-t, --check-config: check the work directory's dyrclient.ini, then exit. \n", out);
  std::fputs("-w <dir>: set work directory. \n", out);
  std::fputs(
      "--status: the running daemon's accounts; exit 0 all logged in, 1 logging in, 255 "
      "no daemon. \n\n",
      out);
  std::fflush(out);
}

int DoConfig() { return DoConfigIO(stdin, stdout, szIniFilename); }
