// news.h — what happens to the accounts, told to whoever listens: the
// service manager's status line, the status file and the event hook are
// listeners; the client nodes are the tellers.
//
// Owns: the list of listeners (not the listeners themselves: whoever adds
// one removes it before it goes away).
//
// Threads: DyrTell is called by client nodes on their own threads, many at
// once; DyrListen and DyrUnlisten from any thread. A listener's OnNews runs
// on the telling node's thread and must not hold it up: it copies what it
// needs and hands slow work (a file, a process, a datagram that may block)
// to a thread of its own.
//
// The news carries what a listener needs as values (the account's number,
// host and user, the status as published): no listener reaches the node,
// which may be gone by the time the listener's own thread looks at them.
//
// Locks: the listener-list lock is held while the listeners are told, so
// DyrUnlisten returns only when no node is inside that listener any more. A
// listener may take only locks of its own (leaf locks) and log; never a
// frame lock, never DyrListen or DyrUnlisten from inside OnNews.
#ifndef ZEP_APP_ACCOUNT_NEWS_H
#define ZEP_APP_ACCOUNT_NEWS_H

#include <cstdint>

#include "base/zepstring.h"

// What a client shows of itself to other threads (monotonic seconds, -1:
// never).
struct DYRStatus_tag {
  int m_nState = 0;
  ZEPString m_strEgress;
  ZEPString m_strClientID;
  int64_t m_nLoginReplySec = -1;
  int64_t m_nReportSec = -1;
  bool operator==(const DYRStatus_tag& o) const {
    return m_nState == o.m_nState && m_strEgress == o.m_strEgress &&
           m_strClientID == o.m_strClientID && m_nLoginReplySec == o.m_nLoginReplySec &&
           m_nReportSec == o.m_nReportSec;
  }
};

struct DYRNews_tag {
  enum Kind {
    kStatus,   // what the node publishes changed (state, egress, id, times)
    kLogin,    // a login reply was accepted (m_strMessage: its MSG, if any)
    kRefused,  // the server refused the login (m_strMessage: its text)
    kRelogin,  // the account is about to log in again (m_pReason says why)
    kEnded,    // the node's loop has ended (its offline request is out)
  };
  Kind m_nKind = kStatus;
  // Who: the telling node's application id, unique for the process's life;
  // a key for the listener's own books, never a way to the node.
  uint32_t m_nNode = 0;
  int m_nAccount = 0;   // the section's place in the file, from 1
  ZEPString m_strHost;  // the account's Host and UserName, as configured
  ZEPString m_strUser;
  DYRStatus_tag m_Status;  // as just published
  ZEPString m_strMessage;  // kLogin, kRefused: the server's text, as received
  // kRelogin: "server", "address", "console" or "signal"; a literal.
  const char* m_pReason = "";
};

class CDYRListener {
 public:
  virtual ~CDYRListener() {}
  virtual void OnNews(const DYRNews_tag& news) = 0;
};

// Adds or removes a listener (a listener added twice is told once).
void DyrListen(CDYRListener* listener);
void DyrUnlisten(CDYRListener* listener);
// Tells every listener, in the order they were added.
void DyrTell(const DYRNews_tag& news);

#endif  // ZEP_APP_ACCOUNT_NEWS_H
