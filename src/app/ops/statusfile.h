// statusfile.h — dyrclient.status, the accounts' state for other programs:
// the daemon's writer (a listener of the account news, news.h) and the
// reader behind `dyrclient --status`.
//
// The file, in the work directory, mode 0600, JSON on one line:
//   {"pid":N,"version":"2.01a build 120","started":EPOCH,"accounts":[
//    {"account":1,"host":"..","user":"..","state":20,"egress":"..",
//     "client_id":"..","last_login":EPOCH,"last_report":EPOCH}]}
// in account order; null for what is not known yet (no egress address or
// client id, no login reply or report so far). Times are wall-clock
// seconds; last_login is the last login reply, whatever it said (the
// console's login_age). Texts are escaped as base/zepjson.h says. The file is
// written aside ("dyrclient.status.tmp") and renamed over the old one
// (ZEPSavePrivateFile), so a reader sees a whole file or the one before, and a
// link planted at either name is replaced, never followed.
//
// When: every piece of news (a state change, a login, a report, an account
// coming or going) posts a write to the writer once Sync has run; the
// writer rewrites the file at once, but at most once per second: news
// inside the second after a write is written at the end of that second,
// never lost, and a write that failed is tried again a second later. The
// orderly stop removes the file (Stop).
//
// Owns: the accounts as last told, keyed by their client node's application
// id (the news carries it; only Sync, which holds a reference from the
// account view, reads a node), and the writer, a ZEPServiceThread
// (zepservicethread.h) whose least gap is that second and whose every turn
// copies the accounts and writes them. A node that has ended is never taken
// back (Sync checks CDYRClient::HasEnded under m_Lock).
// Threads: OnNews on the telling node's thread; Start, Sync and Stop on the
// main thread; the writer on its own thread. DyrStatusCommand and the plain
// functions on any thread.
// Locks: m_Lock, a leaf: OnNews takes it inside the listener-list lock of
// news.h; nothing is taken inside it (a post to the writer takes no lock),
// and no file is written and no line logged while it is held. Sync walks
// the nodes (AccountList: the frame's node-list lock) and reads a client's
// status (its leaf lock) before it takes m_Lock.
#ifndef ZEP_APP_OPS_STATUSFILE_H
#define ZEP_APP_OPS_STATUSFILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/account/news.h"
#include "base/zepmultithread.h"
#include "base/zepservicethread.h"
#include "base/zepthreadsafety.h"

class ZEPFrame;

#define DYR_STATUS_FILE "dyrclient.status"

struct DYRStatusAccount_tag {
  int m_nAccount = 0;
  std::string m_strHost;
  std::string m_strUser;
  int m_nState = 0;
  std::string m_strEgress;    // empty: not known (null)
  std::string m_strClientID;  // empty: not known (null)
  int64_t m_nLastLogin = -1;  // epoch seconds; -1: not known (null)
  int64_t m_nLastReport = -1;
};

struct DYRStatusDoc_tag {
  long m_nPid = 0;
  std::string m_strVersion;
  int64_t m_nStarted = 0;
  std::vector<DYRStatusAccount_tag> m_Accounts;
};

// The file's text (no line end).
std::string DyrStatusJson(const DYRStatusDoc_tag& doc);
// Reads such a text back: 0, or -1 when it is not one (any bytes give a
// defined result; unknown members are skipped).
int DyrReadStatusJson(const char* data, size_t len, DYRStatusDoc_tag& doc);

// `dyrclient --status` for the work directory `dir` (as composed: "" or
// ending in "/"): one line per account on `out`, as the console's status
// command shows it, and the exit status: 0 when a daemon holds the
// directory and every account is watching (10) or reporting (20), 1 when a
// daemon runs but an account is logging in (or its file is not there yet),
// -1 (255) when no daemon runs there. Whether one runs is told by the
// directory's lock (ProbeWorkDirLock), never by the status file. Takes no
// lock of the directory and changes nothing; why a status is not 0 goes to
// `err`. The file is read only when it is a regular file (no link, FIFO or
// device, which is never waited on): anything else counts as unreadable (1).
int DyrStatusCommand(const char* dir, FILE* out, FILE* err);

class CDYRStatusFile : public CDYRListener {
 public:
  // The file goes to `dir` (as composed). `gapMs`: the least time between
  // two writes.
  explicit CDYRStatusFile(const char* dir, long gapMs = 1000);
  ~CDYRStatusFile() override;
  CDYRStatusFile(const CDYRStatusFile&) = delete;
  CDYRStatusFile& operator=(const CDYRStatusFile&) = delete;

  // Listens to the news and starts the writer. Call before the accounts
  // start, then Sync once they have: the first file is written then, so no
  // reader ever sees a list without the accounts that are starting.
  void Start();
  // Brings the accounts in line with the frame's client nodes: adds those
  // not told of yet and takes over their numbers in the file (a reload
  // renumbers them without news). A null frame has no nodes. Main thread.
  void Sync(ZEPFrame* frame);
  // Stops listening and writing, and removes the file. Idempotent.
  void Stop();

  void OnNews(const DYRNews_tag& news) override;

  const std::string& GetPath() const { return m_strPath; }

 private:
  struct Entry_tag {
    uint32_t m_nNode = 0;  // the client node's application id
    DYRStatusAccount_tag m_Account;
    // The monotonic times the wall-clock ones were taken from.
    int64_t m_nLoginMono = -1;
    int64_t m_nReportMono = -1;
  };
  // Writer thread: one turn, the accounts as they are now into the file.
  void WriteNow();
  // Builds the text and replaces the file; WARN once while writes fail.
  void Write(const DYRStatusDoc_tag& doc);
  // Under m_Lock: the entry of `key`, made when missing.
  Entry_tag& EntryLocked(uint32_t node) REQUIRES(m_Lock);
  static void Take(Entry_tag& e, const DYRStatus_tag& st);

  std::string m_strPath;
  std::string m_strTmpPath;
  long m_nGapMs;
  long m_nPid;
  int64_t m_nStarted;
  bool m_bFailing = false;  // writer thread only
  bool m_bStarted = false;  // main thread only

  Mutex m_Lock;
  std::vector<Entry_tag> m_Entries GUARDED_BY(m_Lock);
  bool m_bSynced GUARDED_BY(m_Lock) = false;  // Sync has run once
  ZEPServiceThread m_Writer;
};

#endif  // ZEP_APP_OPS_STATUSFILE_H
