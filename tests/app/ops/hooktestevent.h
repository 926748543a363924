// The hook event the hook's tests start from: an account that logged in
// with every field set.
#ifndef ZEP_TESTS_APP_OPS_HOOKTESTEVENT_H
#define ZEP_TESTS_APP_OPS_HOOKTESTEVENT_H

#include <string>

#include "app/ops/hookevent.h"

inline DYRHookEvent_tag HookTestEvent(const std::string& event, int account = 1) {
  DYRHookEvent_tag ev;
  ev.m_strEvent = event;
  ev.m_nAccount = account;
  ev.m_strUser = "alice";
  ev.m_strHost = "ddns.example.net";
  ev.m_strEgress = "203.0.113.7";
  ev.m_strClientID = "10001";
  return ev;
}

#endif  // ZEP_TESTS_APP_OPS_HOOKTESTEVENT_H
