// telnetd.h — the password-protected line console over TCP: CTelnetdNode
// listens and makes one console node per connection; CTelnetClientNode
// serves that connection (option negotiation, password, echo, erasing, idle
// limits, the charset of what it sends) and hands each typed line to the
// concrete console's ExecuteCmd.
//
// Limits (TelnetLimits_tag): at the password prompt only typing (a byte added
// to the password or erased from it) restarts the idle count, and a session
// not logged in m_nLoginMaxSec after connect is closed whatever it sends; so
// a client that never knows the password holds a session (and the worker
// thread that runs it) for a bounded time. At most m_nMaxSessions sessions
// run at once: one more connection is told so in one line and closed by the
// listener, and a flood of them logs one WARN line when it starts and one
// with its count when it is over.
//
// Both are abstract: an application derives a listener that says which
// console node a connection gets (NewClientNode) and a console node that
// says what a line means (ExecuteCmd).
//
// Owns: the listener owns its listening socket (the frame closes it when the
// node has quit); a console node owns the accepted socket the same way, a
// reference on its listener (so the listener's settings outlive every
// session), its input state and the buffer of its converted text (the
// converter is its thread's, base/zepcharset.h).
//
// Threads: the setters of CTelnetdNode are for the thread that builds it,
// before AddNode, except SetPrompt/SetPasswd/SetPlainPasswd and the getters,
// which any thread may call (a leaf mutex guards prompt and password).
// doRunNode, ExecuteCmd, Send, SendRaw, AcceptPasswd and ProcessTelnetCmd
// run on the node's own thread. Counters and state flags read by other
// threads are atomics. The session count is raised on the listener's thread
// (which alone compares it with the cap, so it never passes it) and lowered
// on a session's thread as its loop ends.
//
// Locks: m_SettingsLock (leaf). A console node takes g_LogMutex (innermost)
// around attaching and detaching the log's copy, and for each log line; it
// holds no lock while it calls the frame or ExecuteCmd.
//
// Input: every byte goes through CTelnetInput (telnetline.h), a plain state
// machine, which answers the client's option requests (telnetopt.h); the
// event buffer is only read, never written. At connect a console node sends
// IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD and "Password:".
//
// Output: Send takes the daemon's text (the log's GB2312) and sends it in
// the listener's charset, UTF-8 unless SetCharset chose GB2312; the log's
// copy comes in that charset too. SendRaw sends bytes as they are (the
// echo, the negotiation, what the user typed).
#ifndef ZEP_TELNET_TELNETD_H
#define ZEP_TELNET_TELNETD_H

#include <atomic>
#include <cstddef>
#include <string>

#include "base/zepcharset.h"
#include "base/zepmultithread.h"
#include "base/zepstring.h"
#include "base/zepthreadsafety.h"
#include "events/appnode.h"
#include "events/floodepisode.h"
#include "events/timerhandle.h"
#include "telnet/telnetline.h"

class ZEPFrame;
class CTelnetClientNode;

// How the console's password is unscrambled for SetPasswd. The telnet layer
// does not know the application's credential scrambling; the application
// installs its decoder here. Without one SetPasswd refuses.
using TelnetDecryptFn = void (*)(const char* scrambled, ZEPString& plain);
extern std::atomic<TelnetDecryptFn> g_pTelnetDecrypt;

// The log's console copy (log/tnlog.h) sent without waiting: a console that
// stops reading loses its copy at once instead of stalling every thread that
// logs (the frame's sender blocks for up to the socket's send time-out while
// g_LogMutex is held). 0 when the whole line left, -1 otherwise. An
// application installs it in g_pTNLogSend.
int TelnetLogSend(ZEPFrame* frame, int sock, const char* line);

// Session limits; the defaults are the console's, tests shorten them.
struct TelnetLimits_tag {
  int m_nLoginIdleSec = 10;  // time without typing allowed at the password prompt
  int m_nIdleSec = 3600;     // silence allowed once logged in
  int m_nLoginMaxSec = 60;   // from connect to the right password, whatever comes
  int m_nMaxSessions = 8;    // sessions at once; one more is refused
  // Seconds without a refused connection that end a flood of them.
  int m_nRefusedQuietSec = static_cast<int>(ZEPFloodEpisodes::kQuietSec);
  size_t m_nMaxLine = TELNET_MAX_LINE;
  // Listen attempts, 500 ms apart, before the listener gives up: a console
  // restarted on the same port finds the old socket still closing.
  int m_nListenTries = 10;
};

class CTelnetdNode : public CAppNode {
 public:
  explicit CTelnetdNode(ZEPFrame* frame, const TelnetLimits_tag& limits = TelnetLimits_tag());
  ~CTelnetdNode() override;

  // Before AddNode. An empty host listens on every address.
  void SetHostPort(const ZEPString& host, const ZEPString& port);
  // Before AddNode: what every session sends (default UTF-8).
  void SetCharset(ZEPCharset charset) { m_eCharset = charset; }
  ZEPCharset GetCharset() const { return m_eCharset; }
  void SetPrompt(const ZEPString& prompt);
  ZEPString GetPrompt();
  // Stores the password unscrambled by the installed decoder; -1 (password
  // unchanged) when no decoder is installed.
  int SetPasswd(const ZEPString& scrambled);
  void SetPlainPasswd(const ZEPString& password);
  ZEPString GetPasswd();
  // Whether `typed` is the password: exact and case-sensitive, compared in
  // time that does not depend on where they differ. An empty password
  // matches nothing, so a console never opens to a bare Enter.
  bool IsPasswd(const ZEPString& typed);

  const TelnetLimits_tag& GetLimits() const { return m_Limits; }
  // 1 listening, -1 the listen failed, 0 not yet.
  int GetListenState() const { return m_nListenState.load(); }
  // The port listened on (useful with port "0"), or -1.
  int GetListenPort() const { return m_nListenPort.load(); }
  // Console nodes made for this listener and not yet destroyed.
  int GetClientCount() const { return m_nClients.load(); }
  // Sessions that hold one of the m_nMaxSessions places: made and their loop
  // not yet ended.
  int GetSessionCount() const { return m_nSessions.load(); }

  void doRunNode() override;
  // The console node for a new connection (not yet added to the frame), or
  // null to refuse the connection.
  virtual CTelnetClientNode* NewClientNode() = 0;

 private:
  friend class CTelnetClientNode;
  void Serve(CTCPEvent* ev);
  // Tells the connection that every place is taken and closes it.
  void Refuse(int child);
  // Logs the count of every flood of refusals that is over (all: every one).
  void CloseRefusals(bool all);
  // The listening socket, or -1 after every try failed or a quit came.
  int Listen();

  ZEPString m_strHost;
  ZEPString m_strPort;
  ZEPCharset m_eCharset = kZEPCharsetUtf8;
  Mutex m_SettingsLock;  // a leaf: taken with no other lock held
  ZEPString m_strPrompt GUARDED_BY(m_SettingsLock);
  ZEPString m_strPasswd GUARDED_BY(m_SettingsLock);
  TelnetLimits_tag m_Limits;
  std::atomic<int> m_nListenState{0};
  std::atomic<int> m_nListenPort{-1};
  std::atomic<int> m_nClients{0};
  std::atomic<int> m_nSessions{0};
  // Listener thread only: refused connections, one episode per flood, and
  // the ticker that closes it once quiet (null while none is open).
  ZEPFloodEpisodes m_Refusals;
  ZEPTimerHandle m_RefusalTicker;
};

class CTelnetClientNode : public CAppNode {
 public:
  // The socket is set with SetSocket before the node is added to the frame.
  CTelnetClientNode(ZEPFrame* frame, CTelnetdNode* owner);
  ~CTelnetClientNode() override;

  // Node thread: the session ends after the current line.
  void Quit() { m_bQuit = true; }
  // Node thread, on the input of the current event: 1 the password was
  // right, -1 wrong (or longer than a line may be) or an answer to an option
  // request could not be sent, 0 no line end yet. The password is compared
  // byte for byte as typed. The bytes after the line end stay for
  // ProcessTelnetCmd.
  int AcceptPasswd();
  // Node thread: echoes the current input, runs every line it completes and
  // answers each with the prompt. 0, or -1 when a send failed.
  int ProcessTelnetCmd();

  void doRunNode() override;
  // One typed line, without its line end; the prompt follows by itself.
  virtual void ExecuteCmd(ZEPString line) = 0;

  // Node thread: the daemon's text (the log's charset) on the connection,
  // in the listener's charset; -1 (and the session ends) when it could not
  // be sent.
  int Send(const char* data, size_t len);
  int Send(const ZEPString& text);
  // Node thread: bytes as they are (what the user typed, telnet commands).
  int SendRaw(const char* data, size_t len);
  // Node thread: starts or stops the copy of every new log line to this
  // connection, in the listener's charset. 0, or -1 when the process log
  // has no console copy or every copy slot is taken.
  int SetLogCopy(bool on);
  bool IsLogCopy();

  bool IsLoggedIn() const { return m_bLoggedIn.load(); }
  // "address:port" of the other end.
  const ZEPString& GetPeer() const { return m_strPeer; }
  CTelnetdNode* GetOwner() const { return m_Owner.Get(); }

 protected:
  // Node thread, after a right password, before the first prompt.
  virtual void OnLogin() {}

 private:
  // True when the session must end.
  bool OnTick();
  // Gives the session's place back to the listener, once.
  void LeaveSession();
  // The current event's bytes, consumed by AcceptPasswd/ProcessTelnetCmd.
  void TakeInput(CTCPEvent* ev);
  void Advance(size_t used);

  ZEPString m_strPeer;
  bool m_bQuit = false;
  bool m_bSendFailed = false;
  int m_nIdleSeconds = 0;
  int64_t m_nConnectMs;  // monotonic, when the listener made the node
  bool m_bInSession = true;
  SmartPtr<CTelnetdNode> m_Owner;
  std::atomic<bool> m_bLoggedIn{false};
  CTelnetInput m_Input;
  ZEPCharset m_eCharset;
  std::string m_strWire;  // Send's converted text
  const char* m_pIn = nullptr;
  size_t m_nIn = 0;
  ZEPTimerHandle m_Ticker;
};

#endif  // ZEP_TELNET_TELNETD_H
