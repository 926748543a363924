// Entry point of dyrclient: command line, paths, the work directory's checks
// and lock, wizard, the frame with one DDNS client node per [DYR_CLIENT]
// section, the status file and the hook, the signals, the service manager's
// notifications, and the orderly stop; or, with --status, the report on the
// daemon of a work directory.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/account/addrwatch.h"
#include "app/account/clientnode.h"
#include "app/config/checkconfig.h"
#include "app/config/workdir.h"
#include "app/daemon/cmdline.h"
#include "app/daemon/outlets.h"
#include "app/daemon/runset.h"
#include "app/ops/statusfile.h"
#include "app/ops/svcmanager.h"
#include "app/proto/scramble.h"
#include "app/proto/texts.h"
#include "base/lockguard.h"
#include "frame/zepframe.h"
#include "log/tnlog.h"
#include "log/zepecho.h"
#include "log/zeplog.h"
#include "telnet/telnetd.h"

namespace {

// --- Signals ---------------------------------------------------------------
// A handler only records the work its signal asks for and wakes the frame's
// service loop (both async-signal-safe); the loop's hook (OnServiceWake)
// does the work on the main thread. A stop ends the loop itself, which then
// runs the node shutdown (offline requests). One more signal is one more row
// and one more bit handled in OnServiceWake.
enum PendingWork_ : unsigned {
  kWorkStop = 1u,
  kWorkReload = 2u,  // read dyrclient.ini again
  kWorkActNow = 4u,  // every account does now what its timer would do
  kWorkReport = 8u,  // the frame's report and one line per account, to the log
};

struct SignalRule_tag {
  int m_nSignal;
  unsigned m_nWork;
};

const SignalRule_tag kSignalRules[] = {
    {SIGTERM, kWorkStop},   {SIGINT, kWorkStop},    {SIGHUP, kWorkReload},
    {SIGUSR1, kWorkActNow}, {SIGUSR2, kWorkReport},
};

std::atomic<unsigned> g_nPendingWork{0};
std::atomic<ZEPFrame*> g_pSignalFrame{nullptr};
std::atomic<CDYRServiceManager*> g_pSignalNotify{nullptr};
static_assert(std::atomic<unsigned>::is_always_lock_free, "used in a signal handler");
static_assert(std::atomic<ZEPFrame*>::is_always_lock_free, "used in a signal handler");
static_assert(std::atomic<CDYRServiceManager*>::is_always_lock_free, "used in a signal handler");

void OnSignal(int sig) {
  const int savedErrno = errno;  // the wake-up write may change it
  unsigned work = 0;
  for (const SignalRule_tag& rule : kSignalRules) {
    if (rule.m_nSignal == sig) work |= rule.m_nWork;
  }
  g_nPendingWork.fetch_or(work);
  ZEPFrame* frame = g_pSignalFrame.load();
  if (frame != nullptr) {
    if ((work & kWorkStop) != 0) {
      // Before the loop can send a node its quit event, so before any
      // offline request (Stopping is one sendto).
      CDYRServiceManager* notify = g_pSignalNotify.load();
      if (notify != nullptr) notify->Stopping();
      frame->ExitFrame();
    } else if ((work & kWorkReport) != 0) {
      frame->RequestReport();  // the service loop writes it
    } else {
      frame->WakeSweep();
    }
  }
  errno = savedErrno;
}

void SetSignalHandlers(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  for (const SignalRule_tag& rule : kSignalRules) sigaction(rule.m_nSignal, &sa, nullptr);
}

CDYRRunSet* g_pRunSet = nullptr;    // main thread only
CDYROutlets* g_pOutlets = nullptr;  // main thread only

void ActNow(ZEPFrame* frame) {
  ZEP_LOG_LINE(LOG_INFO, "SIGUSR1: every account acts now.");
  SmartPtr<CUserEvent> ev(frame->AllocUserEvent());
  ev->SetTag(DYR_USER_ACT_NOW);
  frame->AllEnqueue(ev.Get(), true);
  ev.Release();
}

// The frame's service hook: main thread, after every wake-up of the loop.
void OnServiceWake(void* context) {
  ZEPFrame* frame = static_cast<ZEPFrame*>(context);
  unsigned work = g_nPendingWork.exchange(0);
  CDYRServiceManager* notify = g_pSignalNotify.load();
  // The watchdog's ping leaves from this loop's turn: a stuck loop stops it.
  if (notify != nullptr) notify->ServiceTurn(frame);
  if ((work & kWorkReload) != 0 && g_pRunSet != nullptr) {
    if (notify != nullptr) notify->Reloading();
    g_pRunSet->Reload(szIniFilename);
    if (g_pOutlets != nullptr) g_pOutlets->Reload(szIniFilename, frame);
    // Also after a file that could not be read: the daemon serves as before.
    if (notify != nullptr) notify->Ready(frame);
  }
  if ((work & kWorkActNow) != 0) ActNow(frame);
  // kWorkReport needs nothing here: the handler asked the frame, whose loop
  // has written the report already.
}

// --- Start-up and teardown ---------------------------------------------------

int g_nLockFd = -1;

// Destroys the frame, then the log, and clears both globals.
void DestroyFrameAndLog() {
  g_pSignalFrame.store(nullptr);
  delete g_pFrame;
  g_pFrame = nullptr;
  ZEPLog* log = nullptr;
  {
    ZEPLockGuard lock(g_LogMutex);
    log = zeplog;
    zeplog = nullptr;
  }
  delete log;
}

void FinishApp() {
  ZEP_LOG_LINE(LOG_MESG, DYR_MSG_STOPPED);
  DestroyFrameAndLog();
}

// The socket engine keeps up to 2490 sockets, while the usual soft limit on
// descriptors is 1024: the soft limit goes up to the hard one (at most
// 65536; the engines wait in poll(), so no descriptor number is too high).
// A failure leaves the limit as it was. Returns the soft limit in force.
long RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  const rlim_t want = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > 65536 ? 65536 : lim.rlim_max;
  if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= want) return static_cast<long>(lim.rlim_cur);
  rlimit raised = lim;
  raised.rlim_cur = want;
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  return static_cast<long>(lim.rlim_cur);
}

// A start that cannot go on: why, on standard error (at err in the
// journal), and status 255.
int Refuse(const ZEPString& why) {
  const bool journal = ZEPIsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
  std::fprintf(stderr, "%sdyrclient: %s\n", journal ? ZEPJournalPrefix(LOG_ERRR) : "",
               why.GetSafeText());
  return -1;
}

// Under the service manager (the journal's stream or an invocation id in
// the environment) a refusal is read in the journal, not on a terminal.
bool UnderServiceManager() {
  const char* id = std::getenv("INVOCATION_ID");
  const char* stream = std::getenv("JOURNAL_STREAM");
  return (id != nullptr && id[0] != '\0') || (stream != nullptr && stream[0] != '\0');
}

// The usage text of every start. In the journal it is kept at debug, out of
// the default view, where it would stand before every start's banner.
void PrintUsage() {
  FILE* journal = ZEPIsJournalStream(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO)
                      ? ZEPOpenJournalFile(STDOUT_FILENO, 7)
                      : nullptr;
  DoHelp(journal != nullptr ? journal : stdout);
  if (journal != nullptr) std::fclose(journal);
}

// --- The steps of a start --------------------------------------------------

// The command line's own answers: an unknown option, the version, --status,
// help, a work directory too long for its paths and --check-config end the
// process here. True, with the exit status in `status`, when it ends; false
// when the daemon is to start (the usage text has been printed then).
bool EndsAtCommandLine(int argc, char** argv, int& status) {
  const int paramRc = ParseParam(argc, argv);
  status = -1;
  // Both end before any file is looked at.
  if (g_pszUnknownOption != nullptr) {
    std::fprintf(stderr, "unknown option: %s\n", g_pszUnknownOption);
    DoHelp(stderr);
    return true;
  }
  if (g_bNeedVersion) {
    std::fputs(g_szVersionLine, stdout);
    status = 0;
    return true;
  }
  // A health check: no usage text, no lock, nothing written.
  if (g_bNeedStatus) {
    status = paramRc != 0 ? Refuse("work directory too long")
                          : DyrStatusCommand(g_UnixWorkingDir, stdout, stderr);
    return true;
  }
  const int pathRc = paramRc == 0 ? ComposePaths() : -1;
  // Help asked for is printed as it is, even with --check-config.
  if (g_bNeedHelp) {
    DoHelp();
    return true;
  }
  // The check is no start of the daemon: no usage text.
  if (!g_bNeedCheck) PrintUsage();
  if (pathRc != 0) {
    std::fprintf(stderr, "Work directory too long: the file paths in it must fit %d bytes.\n",
                 DYR_PATH_SIZE - 1);
    return true;
  }
  // Nothing after it runs for the check: no lock, no file written.
  if (g_bNeedCheck) {
    status = DyrCheckConfigCommand(szIniFilename, std::getenv("JOURNAL_STREAM"), stdout, stderr);
    return true;
  }
  return false;
}

// The work directory before the daemon writes there: its checks, its lock
// (held until the process ends), the ini file's checks, and the wizard when
// there is no file or -c asks for it. 0, or -1 (the exit status) once the
// reason is on standard error. `exposed` gets the directory's warning, which
// the log tells once it runs.
int PrepareWorkDir(ZEPString& exposed) {
  ZEPString why;
  if (CheckWorkDir(g_UnixWorkingDir, why) != 0) return Refuse(why);
  // The daemon runs all the same.
  WorkDirWarning(g_UnixWorkingDir, exposed);
  long holder = 0;
  if (LockWorkDir(g_UnixWorkingDir, g_nLockFd, holder, why) != 0) return Refuse(why);
  if (!why.IsEmpty()) std::fprintf(stderr, "dyrclient: %s\n", why.GetSafeText());
  bool iniExists = false;
  if (CheckIniFile(szIniFilename, iniExists, why) != 0) {
    if (UnderServiceManager()) why << DyrIniAccessHint(g_UnixWorkingDir, szIniFilename);
    return Refuse(why);
  }
  // Written by earlier versions with the umask's mode (a link there is left
  // alone: the next write replaces it).
  MakePrivate(szClnIDFilename);
  if ((!iniExists || g_bNeedConfig) && DoConfig() != 0) return -1;
  return 0;
}

// The frame, the signals and the log, which opens with the banner and what
// the start found. Called while the main thread is the only one: the frame
// starts the others, after the locale has been read.
void StartFrameAndLog(CDYRServiceManager& notify, const ZEPString& exposed) {
  const ZEPEchoForm_ echoForm =
      ZEPChooseEchoForm(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO, ZEPLocaleIsUtf8());
  const long fdLimit = RaiseDescriptorLimit();
  // A log on a file system that fills up, or over a file size limit, fails
  // its writes; the signal for the latter must not end the daemon.
  std::signal(SIGXFSZ, SIG_IGN);
  // The console's password is unscrambled by our credential code, and a
  // console's log copy never waits on a slow reader (telnet/telnetd.h).
  g_pTelnetDecrypt.store(static_cast<TelnetDecryptFn>(&DecryptPasswd));
  g_pTNLogSend.store(&TelnetLogSend);
  g_pFrame = new ZEPFrame(true, true);
  g_pFrame->SetReportHook(DyrReportAccounts);
  g_pSignalFrame.store(g_pFrame);
  g_pSignalNotify.store(&notify);
  // From here a signal that comes before the loop serves is acted on at its
  // first turn.
  SetSignalHandlers(OnSignal);
  ZEPTNLog* log = new ZEPTNLog(g_pFrame, szLogFilename);
  log->SetToScreen(true);
  // Before the log is shared: no lock needed yet.
  log->SetEchoForm(echoForm);
  {
    ZEPLockGuard lock(g_LogMutex);
    zeplog = log;
  }
  ZEP_LOG_LINE(LOG_MESG, g_szVersionNo);
  if (!exposed.IsEmpty()) ZEP_LOG_LINE(LOG_WARN, exposed);
  ZEP_LOG_LINE(LOG_INFO, "descriptor limit " << fdLimit);
  notify.LogSetup();
}

// The outlets, then the accounts of the file, the address watch and the
// service hook. 0; or -1 when the file cannot be read, after the outlets,
// the frame and the log have been stopped and the work directory unlocked.
int StartAccounts(CDYROutlets& outlets, CDYRRunSet& runSet) {
  // Listening before the accounts start, so that no news is missed.
  outlets.Start(szIniFilename);
  if (runSet.Load(szIniFilename) != 0) {
    ZEP_LOG_LINE(LOG_MESG, DYR_MSG_INI_FAILED);
    std::fflush(stdout);
    SetSignalHandlers(SIG_IGN);
    g_pSignalNotify.store(nullptr);
    outlets.Stop();
    DestroyFrameAndLog();
    UnlockWorkDir(g_nLockFd);
    return -1;
  }
  outlets.Sync(g_pFrame);
  g_pRunSet = &runSet;
  // The accounts act at once when the host's addresses change (where the
  // kernel can tell: the watch logs whether it can).
  StartAddrWatch(g_pFrame);
  g_pOutlets = &outlets;
  g_pFrame->SetServiceHook(OnServiceWake, g_pFrame);
  ZEP_LOG_LINE(LOG_MESG, DYR_MSG_STARTED);
  return 0;
}

// Serves until a stop signal. Every account's node has been handed to the
// frame; no login is waited for before READY (the server may be down for
// hours).
void Serve(CDYRServiceManager& notify) {
  notify.Ready(g_pFrame);
  g_pFrame->Run();
}

// The orderly stop once the loop has ended (the nodes have sent their
// offline requests): outlets, console, frame and log, then the lock.
void StopDaemon(CDYRServiceManager& notify, CDYROutlets& outlets, CDYRRunSet& runSet) {
  // Stopping already: no signal may cut the teardown short.
  SetSignalHandlers(SIG_IGN);
  g_pSignalNotify.store(nullptr);
  notify.Finish();
  g_pRunSet = nullptr;
  g_pOutlets = nullptr;
  outlets.Stop();
  runSet.ReleaseConsole();
  FinishApp();
  UnlockWorkDir(g_nLockFd);
}

}  // namespace

// Orderly stop for a caller that runs the frame on a service thread of its own.
void ShutdownApp() {
  if (g_pFrame == nullptr) return;
  CDYRServiceManager* notify = g_pSignalNotify.load();
  if (notify != nullptr) notify->Stopping();
  g_pFrame->ExitFrame();
  g_pFrame->WaitServiceStop();
  FinishApp();
}

int main(int argc, char** argv) {
  InitDes(g_CredentialKey);
  int status = 0;
  if (EndsAtCommandLine(argc, argv, status)) return status;
  ZEPString exposed;
  if (PrepareWorkDir(exposed) != 0) return -1;
  // Read while this is the only thread: the environment.
  CDYRServiceManager notify(DyrTakeNotifyEnvironment());
  StartFrameAndLog(notify, exposed);
  CDYROutlets outlets(g_UnixWorkingDir);
  CDYRRunSet runSet(g_pFrame, szClnIDFilename);
  if (StartAccounts(outlets, runSet) != 0) return -1;
  Serve(notify);
  StopDaemon(notify, outlets, runSet);
  return 0;
}
