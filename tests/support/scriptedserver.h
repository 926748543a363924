// scriptedserver.h — a DDNS server played by the test itself: a main and an
// assist port on 127.0.0.1, the client's login read and a reply built by
// hand, and the client's log texts (GB2312) written out independently of
// the daemon's sources, so a changed text in the daemon fails a test.
//
// Threads: a FakeServer belongs to the thread that made it; no locks. The
// text helpers use the credential cipher: InitDes(g_CredentialKey) first.
#ifndef ZEP_TESTS_SUPPORT_SCRIPTEDSERVER_H
#define ZEP_TESTS_SUPPORT_SCRIPTEDSERVER_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/proto/scramble.h"
#include "cmd/cmdtransfer.h"
#include "support/childprocess.h"
#include "support/udpsocket.h"

// Log texts (GB2312).
#define T_LOGIN_OK "\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6!"                        // 登录成功!
#define T_EGRESS " \xb3\xf6\xbf\xdaIP\xca\xc7: "                              //  出口IP是:
#define T_LOGIN_FAILED "\xb4\xed\xce\xf3:\xb5\xc7\xc2\xbc\xca\xa7\xb0\xdc: "  // 错误:登录失败:
#define T_INVALID T_LOGIN_FAILED "\xce\xde\xd0\xa7\xb7\xb5\xbb\xd8\xca\xfd\xbe\xdd"
#define T_TIMEOUT "\xb5\xc7\xc2\xbc\xb3\xac\xca\xb1, \xd6\xd8\xca\xd4."  // 登录超时, 重试.
#define T_REPORTING "\xcf\xf2\xb7\xfe\xce\xf1\xc6\xf7\xb1\xa8\xb8\xe6\xb3\xf6\xbf\xdaIP."
#define T_RELOGIN "IP\xb8\xc4\xb1\xe4, \xd6\xd8\xd0\xc2\xb5\xc7\xc2\xbc."  // IP改变, 重新登录.
#define T_STARTED "\xb7\xfe\xce\xf1\xc6\xf4\xb6\xaf."                      // 服务启动.
#define T_STOPPED "\xb7\xfe\xce\xf1\xd2\xd1\xcd\xa3\xd6\xb9."              // 服务已停止.
#define T_NEW_VERSION "\xd3\xd0\xd0\xc2\xb0\xe6\xb1\xbe\xc1\xcb: "         // 有新版本了:
#define T_DOWNLOAD "\xcf\xc2\xd4\xd8\xb5\xd8\xd6\xb7: "                    // 下载地址:

namespace zeptest {

inline std::string Scramble(const std::string& plain) {
  ZEPString out;
  EnAString(ZEPString(plain.c_str()), out);
  return out.GetSafeText();
}

inline std::string Unscramble(const std::string& text) {
  ZEPString out;
  DeAString(ZEPString(text.c_str()), out);
  return std::string(out.GetSafeText(), out.GetLength());
}

inline std::string Prop(const std::string& msg, const char* key) {
  ZEPString m = ZEPString::FromBytes(msg.data(), static_cast<uint32_t>(msg.size()));
  ZEPString v = CmdTransfer::GetCmdProp(m, key);
  return std::string(v.GetSafeText(), v.GetLength());
}

// Builds "key=value" properties in order: {{"OK","Y"},{"K","7"}}.
inline std::string Props(const std::vector<std::pair<std::string, std::string>>& kv) {
  ZEPString m;
  for (const auto& p : kv) CmdTransfer::AddCmdProp(m, p.first.c_str(), p.second.c_str());
  return std::string(m.GetSafeText(), m.GetLength());
}

// A login reply as a server sends it: "C"=2, "Data" = the scrambled inner reply.
inline std::string LoginReply(const std::vector<std::pair<std::string, std::string>>& inner) {
  return Props({{"C", "2"}, {"Data", Scramble(Props(inner))}});
}

// One scripted server: a main and an assist port on 127.0.0.1.
struct FakeServer {
  UdpPort main;
  UdpPort asst;
  // Waits for the next login on the main port (other datagrams there are
  // passed over); `inner` is its decrypted Data.
  bool RecvLogin(std::string& inner, sockaddr_in& from, int ms) {
    std::string wire;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    do {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (!main.Recv(wire, from, left > 0 ? left : 0)) return false;
      if (Prop(wire, "C") == "1") {
        inner = Unscramble(Prop(wire, "Data"));
        return true;
      }
    } while (Clock::now() < end);
    return false;
  }
};

}  // namespace zeptest

#endif  // ZEP_TESTS_SUPPORT_SCRIPTEDSERVER_H
