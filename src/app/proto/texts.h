// texts.h — the texts the daemon writes, as GB2312 bytes where they are
// Chinese. Servers, log readers and scripts match these byte for byte, so they
// live in one place and are never reworded. Constants only: any thread.
#ifndef ZEP_APP_PROTO_TEXTS_H
#define ZEP_APP_PROTO_TEXTS_H

// "错误: Cannot process ini file. Quit!\n"
// The version as the status file gives it.
#define DYR_VERSION_TEXT "2.01a build 120"

#define DYR_MSG_INI_FAILED "\xb4\xed\xce\xf3: Cannot process ini file. Quit!\n"
// "服务启动." (service started)
#define DYR_MSG_STARTED "\xb7\xfe\xce\xf1\xc6\xf4\xb6\xaf."
// "服务已停止." (service stopped)
#define DYR_MSG_STOPPED "\xb7\xfe\xce\xf1\xd2\xd1\xcd\xa3\xd6\xb9."
// "错误:无法获得域名的IP: " (cannot resolve the host)
#define DYR_MSG_NO_HOST_IP \
  "\xb4\xed\xce\xf3:\xce\xde\xb7\xa8\xbb\xf1\xb5\xc3\xd3\xf2\xc3\xfb\xb5\xc4IP: "
// "错误:无法联接:" (cannot connect)
#define DYR_MSG_NO_CONNECT "\xb4\xed\xce\xf3:\xce\xde\xb7\xa8\xc1\xaa\xbd\xd3:"
// "向服务器报告出口IP." (reporting the egress address)
#define DYR_MSG_REPORTING "\xcf\xf2\xb7\xfe\xce\xf1\xc6\xf7\xb1\xa8\xb8\xe6\xb3\xf6\xbf\xdaIP."
// "IP改变, 重新登录." (address changed, logging in again)
#define DYR_MSG_RELOGIN "IP\xb8\xc4\xb1\xe4, \xd6\xd8\xd0\xc2\xb5\xc7\xc2\xbc."
// "登录超时, 重试." (login timed out, retrying)
#define DYR_MSG_LOGIN_TIMEOUT "\xb5\xc7\xc2\xbc\xb3\xac\xca\xb1, \xd6\xd8\xca\xd4."
// "错误:登录失败: " (login failed:)
#define DYR_MSG_LOGIN_FAILED "\xb4\xed\xce\xf3:\xb5\xc7\xc2\xbc\xca\xa7\xb0\xdc: "
// "错误:登录失败: 无效返回数据" (login failed: invalid reply data)
#define DYR_MSG_LOGIN_INVALID \
  DYR_MSG_LOGIN_FAILED "\xce\xde\xd0\xa7\xb7\xb5\xbb\xd8\xca\xfd\xbe\xdd"
// "有新版本了: " (a new version is available:)
#define DYR_MSG_NEW_VERSION "\xd3\xd0\xd0\xc2\xb0\xe6\xb1\xbe\xc1\xcb: "
// "下载地址: " (download address:)
#define DYR_MSG_DOWNLOAD_AT "\xcf\xc2\xd4\xd8\xb5\xd8\xd6\xb7: "
// "登录成功!" (login succeeded!)
#define DYR_MSG_LOGIN_OK "\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6!"
// " 出口IP是: " (the egress address is:)
#define DYR_MSG_EGRESS_IS " \xb3\xf6\xbf\xdaIP\xca\xc7: "
#define DYR_MSG_CONNECTED "Connected to:"
#define DYR_MSG_SOCKET_CLOSED "Socket is close, but go on!"
// The client id file could not be written (followed by the path and why).
#define DYR_MSG_ID_NOT_SAVED "Cannot save the client id, it is kept for this run only: "

#endif  // ZEP_APP_PROTO_TEXTS_H
