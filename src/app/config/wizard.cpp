#include "app/config/wizard.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/config/inifile.h"
#include "app/proto/scramble.h"
#include "base/zepsmallfile.h"
#include "base/zepstring.h"

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

  if (ZEPSavePrivateFile(path, file.GetSafeText(), file.GetLength()) != 0) {
    std::fprintf(out, "Cannot save ini file: %s\n", path);
    std::fflush(out);
    return -1;
  }
  std::fflush(out);
  return 0;
}
