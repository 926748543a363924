#include "app/appshell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/global.h"
#include "app/inifile.h"
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

int SavePrivateFile(const char* path, const char* data, size_t len) {
  const std::string tmp = std::string(path) + DYR_TMP_SUFFIX;
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

namespace {

// One answer: a line of at most 254 characters (a longer line is split and
// its rest answers the next question), the text before its "\n". End of
// input is an empty answer; `eof` tells the caller.
ZEPString ReadAnswer(FILE* in, bool& eof) {
  char line[255];
  eof = (std::fgets(line, sizeof line, in) == nullptr);
  if (eof) return ZEPString("");
  ZEPString text(line);
  ZEPString answer = text.GetFirstToken("\n");
  return answer.IsNull() ? ZEPString("") : answer;
}

ZEPString Ask(FILE* in, FILE* out, const char* prompt, bool& eof) {
  std::fputs(prompt, out);
  std::fflush(out);
  return ReadAnswer(in, eof);
}

// The terminal while its echo is off for the password: a stop signal then
// puts the echo back before the process ends.
int g_nNoEchoFd = -1;
struct termios g_SavedTermios;

void RestoreEchoAndDie(int sig) {
  tcsetattr(g_nNoEchoFd, TCSANOW, &g_SavedTermios);  // async-signal-safe
  signal(sig, SIG_DFL);
  raise(sig);
}

// The password is not shown on a terminal; piped answers are read as they are.
ZEPString AskSecret(FILE* in, FILE* out, const char* prompt, bool& eof) {
  int fd = fileno(in);
  struct termios quiet;
  if (fd < 0 || !isatty(fd) || tcgetattr(fd, &g_SavedTermios) != 0) {
    return Ask(in, out, prompt, eof);
  }
  quiet = g_SavedTermios;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  g_nNoEchoFd = fd;
  struct sigaction restore {
  }, oldInt{}, oldTerm{}, oldHup{};
  restore.sa_handler = RestoreEchoAndDie;
  sigemptyset(&restore.sa_mask);
  sigaction(SIGINT, &restore, &oldInt);
  sigaction(SIGTERM, &restore, &oldTerm);
  sigaction(SIGHUP, &restore, &oldHup);
  tcsetattr(fd, TCSAFLUSH, &quiet);
  ZEPString answer = Ask(in, out, prompt, eof);
  tcsetattr(fd, TCSANOW, &g_SavedTermios);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGHUP, &oldHup, nullptr);
  g_nNoEchoFd = -1;
  std::fputs("\n", out);  // the Enter the terminal did not show
  return answer;
}

// Server and ports of the file's first account, when `path` holds one: a
// rewrite with -c keeps them instead of the defaults. Empty values stay.
void KeepServer(const char* path, ZEPString& host, ZEPString& mainPort, ZEPString& asstPort) {
  std::vector<DYRAccount_tag> accounts;
  if (ReadDyrAccounts(path, accounts) != 0 || accounts.empty()) return;
  const DYRAccount_tag& first = accounts.front();
  if (!first.m_strHost.IsEmpty()) host = first.m_strHost;
  if (!first.m_strMainPort.IsEmpty()) mainPort = first.m_strMainPort;
  if (!first.m_strAsstPort.IsEmpty()) asstPort = first.m_strAsstPort;
}

}  // namespace

int DoConfigIO(FILE* in, FILE* out, const char* path) {
  std::fputs("\nDo configuration now. \n", out);
  ZEPString host(DYR_DEFAULT_HOST), mainPort("9994"), asstPort("9993");
  KeepServer(path, host, mainPort, asstPort);
  ZEPString file("[DYR_CLIENT]\n");
  file << "Host=" << host << "\n"
       << "MainPort=" << mainPort << "\n"
       << "AsstPort=" << asstPort << "\n";

  bool eof = false;
  ZEPString user = Ask(in, out, "Input User name: ", eof);
  EnAString(user, user);
  file << "UserName=" << user << "\n";
  ZEPString pass = AskSecret(in, out, "Input Password: ", eof);
  EnAString(pass, pass);
  file << "Password=" << pass << "\n";

  for (;;) {
    ZEPString domain = Ask(in, out, "Input Domain: ", eof);
    domain.ToLower();
    file << "Domain=" << domain << ";";
    ZEPString offline = Ask(in, out, "Input Offline URL or Offline IP(Enter for none): ", eof);
    offline.ToLower();
    offline.Replace("http://", "");
    file << offline << "\n";
    ZEPString more = Ask(in, out, "Has another domain?(Y/N): ", eof);
    if (eof || (more[0] != 'Y' && more[0] != 'y')) break;
  }

  if (SavePrivateFile(path, file.GetSafeText(), file.GetLength()) != 0) {
    std::fprintf(out, "Cannot save ini file: %s\n", path);
    std::fflush(out);
    return -1;
  }
  std::fflush(out);
  return 0;
}

int DoConfig() { return DoConfigIO(stdin, stdout, szIniFilename); }
