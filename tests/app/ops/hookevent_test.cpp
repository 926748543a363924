// The environment a hook's run gets from its event.
#include "app/ops/hookevent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hooktestevent.h"

namespace {

TEST(HookEnv, CarriesTheEventAndEscapesTheServersTexts) {
  DYRHookEvent_tag ev = HookTestEvent("relogin", 2);
  ev.m_strReason = "server";
  ev.m_strMessage = std::string("bye\nDYR_EVENT=forged\0x", 22);
  ev.m_strClientID = "id\x01";
  ev.m_strUser = std::string("al\0ice", 6);  // a zero byte ends a value
  const std::vector<std::string> env =
      DyrHookEnv(ev, {"PATH=/usr/bin", "DYR_EVENT=stale", "HOME=/var/lib/dyr", "DYR_X=1"});
  const std::vector<std::string> want = {
      "PATH=/usr/bin",          "HOME=/var/lib/dyr",    "DYR_EVENT=relogin",
      "DYR_ACCOUNT=2",          "DYR_USER=al",          "DYR_HOST=ddns.example.net",
      "DYR_EGRESS=203.0.113.7", "DYR_CLIENTID=id\\x01", "DYR_MESSAGE=bye\\nDYR_EVENT=forged\\x00x",
      "DYR_REASON=server"};
  EXPECT_EQ(want, env);
  // Only a relogin has a reason.
  const std::vector<std::string> login = DyrHookEnv(HookTestEvent("login"), {});
  EXPECT_EQ(7u, login.size());
  EXPECT_EQ(login.end(), std::find_if(login.begin(), login.end(), [](const std::string& v) {
              return v.compare(0, 11, "DYR_REASON=") == 0;
            }));
}

}  // namespace
