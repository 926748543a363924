// hookevent.h — one event of the hook (hook.h) and the environment its run
// gets: what a monitor learns of an account's login, refusal or relogin.
//
// Owns: nothing; plain values and functions of them.
// Threads: any. Locks: none.
#ifndef ZEP_APP_OPS_HOOKEVENT_H
#define ZEP_APP_OPS_HOOKEVENT_H

#include <string>
#include <vector>

struct DYRHookEvent_tag {
  std::string m_strEvent;   // "login", "refused" or "relogin"
  std::string m_strReason;  // relogin: "server", "address", "console" or "signal"
  int m_nAccount = 0;       // the section's place in the file, from 1
  std::string m_strUser;
  std::string m_strHost;
  std::string m_strEgress;
  std::string m_strClientID;
  std::string m_strMessage;  // the server's text, as received
};

// The environment of a run: `inherited` ("NAME=VALUE") without its DYR_
// variables, then DYR_EVENT, DYR_ACCOUNT, DYR_USER, DYR_HOST, DYR_EGRESS,
// DYR_CLIENTID, DYR_MESSAGE and, for relogin, DYR_REASON. The server's texts
// (egress, client id, message) are escaped as in the log (LogSafeText); no
// value holds a zero byte.
std::vector<std::string> DyrHookEnv(const DYRHookEvent_tag& ev,
                                    const std::vector<std::string>& inherited);

// Bytes from outside (the server's texts, a run's output) as the log and the
// environment carry them (LogSafeText).
std::string DyrHookEscaped(const std::string& text);

#endif  // ZEP_APP_OPS_HOOKEVENT_H
