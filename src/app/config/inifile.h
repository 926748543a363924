// inifile.h — turns the [DYR_CLIENT] sections of dyrclient.ini into accounts.
//
// Owns: the account whose section is being read (the pending account) and
// the handler that receives each finished account. INI_Section and INI_Item
// are the callbacks the INI processor calls; an account is handed over,
// complete, when the next [DYR_CLIENT] header is met or by AddLastNode after
// the whole file was read, so a client never starts half configured. The
// password is read then, from where the section names it (secret.h:
// Password=, a systemd credential or a file): every read of the
// configuration reads those files again.
//
// Threads: one thread at a time, the one that reads the configuration (the
// pending account and the handler are globals): the main thread at start-up
// and in the wizard, and the frame's service thread for a reload (the main
// thread in dyrclient). No locks of its own; the handler may take any lock.
#ifndef ZEP_APP_CONFIG_INIFILE_H
#define ZEP_APP_CONFIG_INIFILE_H

#include <cstddef>
#include <vector>

#include "app/config/secret.h"
#include "app/proto/protocol.h"
#include "base/zepcharset.h"
#include "base/zepstring.h"

// Receives one finished account; the handler takes ownership (delete it).
typedef void (*AccountHandler)(DYRAccount_tag* account, void* context);

// Sets where finished accounts go; drops a pending account, if any.
void SetAccountHandler(AccountHandler handler, void* context);

void INI_Section(ZEPString section, ZEPString name, ZEPString value, void* user);
void INI_Item(ZEPString section, ZEPString name, ZEPString value, void* user);
// Hands the pending account (if any) to the handler.
void AddLastNode();

// Reads `path` into accounts handed to the current handler; 0, or -1 when
// the file cannot be read (nothing is handed over then).
int ReadDyrIniFile(const char* path);

// The accounts of `path` in file order; 0, or -1 when it cannot be read.
// Leaves no handler set.
int ReadDyrAccounts(const char* path, std::vector<DYRAccount_tag>& accounts);

// The same over the text of a configuration file (any bytes); -1 only for
// null text with len > 0.
int ReadDyrAccountsText(const char* text, size_t len, std::vector<DYRAccount_tag>& accounts);

// True when `data` holds a [DYR_CLIENT] header followed by a carriage return.
// The reader keeps CR as part of the line, so such a header (a file saved
// with CR-LF ends) is not a header at all; the entry point warns about it
// instead of silently running without accounts.
bool HasCrLfClientHeader(const char* data, size_t len);

// What to tell the user about `path`, which holds no [DYR_CLIENT] section:
// the daemon would run without accounts. A file saved with CR-LF ends reads
// that way, and is said to.
ZEPString NoAccountText(const char* path);

// True for the decimal text of a port, 1 to 65535, nothing around it.
bool IsPortNumber(const ZEPString& text);

// What is wrong with an account that the daemon still runs with (a login
// that cannot succeed, a login without domains), one text per fault, for
// WARN lines. Empty for a usable account.
std::vector<ZEPString> AccountWarnings(const DYRAccount_tag& account);

// The [CONSOLE] section: the daemon's administration console.
struct DYRConsoleConf_tag {
  bool m_bPresent = false;         // the file has the section
  ZEPString m_strHost;             // "127.0.0.1" unless Host= names another
  ZEPString m_strPort;             // as written, trimmed; empty when missing
  bool m_bHasPassword = false;     // one of the password keys was written
  ZEPString m_strPassword;         // plain text (Password= unscrambled)
  DYRSecretKeys_tag m_Keys;        // the password keys as written
  ZEPString m_strPasswordFrom;     // "credential NAME", "file PATH" or empty
  ZEPString m_strPasswordRefused;  // why no password could be had; empty when it could
  // What the console sends: UTF-8 unless Charset=GB2312 (any other value is
  // kept in m_strBadCharset for a warning, and the default stays).
  ZEPCharset m_eCharset = kZEPCharsetUtf8;
  ZEPString m_strBadCharset;
};

// Reads the [CONSOLE] section of `path` (with several, later keys win).
// 0, or -1 when the file cannot be read.
int ReadDyrConsole(const char* path, DYRConsoleConf_tag& conf);

// Why a present [CONSOLE] section starts no console, for a WARN line; empty
// when it can start. Port 0 lets the system pick a free port (logged).
ZEPString ConsoleProblem(const DYRConsoleConf_tag& conf);

// What is wrong in a [CONSOLE] section that still starts its console (a
// Charset the console does not speak), one text per fault, for WARN lines.
std::vector<ZEPString> ConsoleWarnings(const DYRConsoleConf_tag& conf);

// Two sections that start the same console (the Charset included; the
// password as read, like SameAccount).
bool SameConsole(const DYRConsoleConf_tag& a, const DYRConsoleConf_tag& b);

// The [HOOK] section: the program run on an account's events (ops/hook.h
// checks and runs it).
struct DYRHookConf_tag {
  bool m_bPresent = false;  // the file has the section
  ZEPString m_strCommand;   // as written, trimmed; empty when missing
  ZEPString m_strTimeout;   // as written, trimmed; empty when missing
};

// Reads the [HOOK] section of `path` (with several, later keys win).
// 0, or -1 when the file cannot be read.
int ReadDyrHook(const char* path, DYRHookConf_tag& conf);

// Two sections that read the same: server, ports, credentials and the
// domains in order. A reload keeps the node of an unchanged section. The
// password is compared as read, not the key that named it: a changed
// credential or password file is a changed section, while moving the same
// password from Password= into a file changes nothing the server sees.
bool SameAccount(const DYRAccount_tag& a, const DYRAccount_tag& b);

#endif  // ZEP_APP_CONFIG_INIFILE_H
