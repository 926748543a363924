// accountview.h — the accounts as others see them: the frame's client
// nodes (the one walk over the frame's nodes that picks the accounts out of
// them), and the two status lines of an account, built from the same fields.
//
// Any thread. AccountList takes the frame's node-list lock inside its
// cursor walk only, and holds a reference on each node it returns: the
// caller reads them with no frame lock held, and whichever reference goes
// last deletes the node, so a caller that takes a lock of its own after the
// walk declares the list before that lock. The status lines read copies
// only.
#ifndef ZEP_APP_ACCOUNT_ACCOUNTVIEW_H
#define ZEP_APP_ACCOUNT_ACCOUNTVIEW_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/account/clientnode.h"

// Which client nodes AccountList leaves out (or-ed; 0: none).
enum {
  kSkipEnded = 1,     // the loop has ended (CDYRClient::HasEnded)
  kSkipQuitting = 2,  // told to quit (CAppNode::IsQuiting)
};

// The client nodes of `frame` but those `skip` names, each held while the
// caller works; in file order (the section's place, ties in the frame's
// order) or, with `fileOrder` false, in the frame's order.
std::vector<SmartPtr<CDYRClient>> AccountList(ZEPFrame* frame, int skip = kSkipQuitting,
                                              bool fileOrder = true);

// A caller that reads a node from AccountList and then takes its own lock to
// take the node in (the status file's Sync, the service manager's Seed)
// calls this, when set, between the two: tests end the node there. Null in
// the daemon.
extern std::atomic<void (*)(CDYRClient*)> g_pDyrWalkGap;
inline void DyrWalkGap(CDYRClient* client) {
  if (void (*gap)(CDYRClient*) = g_pDyrWalkGap.load()) gap(client);
}

enum AccountLineStyle {
  // The console: "account N host=H user=U state=S egress=A id=K
  // login_age=X report_age=Y", "-" for what is not known yet; the egress
  // address and the id, the server's bytes, escaped as in the log
  // (ZEPLogSafeText), so no control character reaches the terminal.
  kAccountLineConsole,
  // The frame's report (SIGUSR2, the console's report): "Account Host=H
  // User=U State=S Egress=A ClientID=K LoginReplyAgo=Xs ReportAgo=Ys", an
  // unknown text empty and an unknown age "-"; the egress address, the
  // server's text, escaped as in the log (ZEPLogSafeText).
  kAccountLineReport,
  // The status query (--status): the console's line with every text
  // escaped, since they come from a file that may hold any bytes.
  kAccountLineStatusQuery,
};

// One status line of an account in `style` (no line end). `nowSec` is the
// monotonic clock in seconds; the status's times are of the same clock.
std::string AccountStatusLine(int index, const DYRAccount_tag& account, const DYRStatus_tag& status,
                              int64_t nowSec, AccountLineStyle style = kAccountLineConsole);

#endif  // ZEP_APP_ACCOUNT_ACCOUNTVIEW_H
