#include "app/config/inifile.h"

#include <cstdlib>
#include <cstring>

#include "app/config/iniprocessor.h"
#include "app/config/secret.h"
#include "app/proto/scramble.h"
#include "base/zepdecimal.h"

namespace {

DYRAccount_tag* pClient = nullptr;  // the section being read, not yet handed over
DYRSecretKeys_tag g_PendingKeys;    // what that section wrote about its password
AccountHandler g_pHandler = nullptr;
void* g_pHandlerContext = nullptr;

// $CREDENTIALS_DIRECTORY, looked up at every read: the daemon changes its
// environment only before its threads start, and every read of the file
// runs on one thread (inifile.h).
const char* CredentialsDir() { return std::getenv("CREDENTIALS_DIRECTORY"); }

void HandOver() {
  DYRAccount_tag* account = pClient;
  pClient = nullptr;
  if (account == nullptr) return;
  // Read once the whole section is known: which keys it wrote decides.
  DYRSecret_tag secret = DyrResolveSecret(g_PendingKeys, CredentialsDir());
  g_PendingKeys = DYRSecretKeys_tag();
  account->m_strPassword = secret.m_strPassword;
  account->m_strPasswordFrom = secret.m_strFrom;
  account->m_strRefused = secret.m_strRefused;
  if (g_pHandler != nullptr) {
    g_pHandler(account, g_pHandlerContext);
  } else {
    delete account;
  }
}

// Stored credentials are scrambled; the plain text ends at its first zero.
ZEPString Unscramble(ZEPString value) {
  value.Trim();
  ZEPString plain;
  DeAString(value, plain);
  return plain;
}

}  // namespace

void SetAccountHandler(AccountHandler handler, void* context) {
  delete pClient;
  pClient = nullptr;
  g_PendingKeys = DYRSecretKeys_tag();
  g_pHandler = handler;
  g_pHandlerContext = context;
}

void INI_Section(ZEPString section, ZEPString /*name*/, ZEPString /*value*/, void* /*user*/) {
  if (!(section == "DYR_CLIENT")) return;
  HandOver();
  pClient = new DYRAccount_tag;
  g_PendingKeys = DYRSecretKeys_tag();
}

void INI_Item(ZEPString section, ZEPString name, ZEPString value, void* /*user*/) {
  if (!(section == "DYR_CLIENT") || pClient == nullptr || value.IsEmpty()) return;
  if (name == "Host") {
    value.ToLower();
    value.Trim();
    pClient->m_strHost = value;
  } else if (name == "MainPort") {
    value.Trim();
    pClient->m_strMainPort = value;
  } else if (name == "AsstPort") {
    value.Trim();
    pClient->m_strAsstPort = value;
  } else if (name == "UserName") {
    pClient->m_strUserName = Unscramble(value);
  } else if (DyrSecretItem(g_PendingKeys, name, value)) {
    // Read with the section's other keys, when it is handed over.
  } else if (name == "Domain") {
    DYRDomain_tag domain;
    domain.m_strDomain = value.GetFirstToken(";");
    domain.m_strOffline = value.GetNextToken();
    if (domain.m_strOffline.IsNull()) domain.m_strOffline = "";
    if (!domain.m_strDomain.IsEmpty()) pClient->m_Domains.push_back(domain);
  }
}

void AddLastNode() { HandOver(); }

namespace {

// Runs a loaded processor over the account callbacks.
int ProcessAccounts(CINIProcessor& ini) {
  delete pClient;
  pClient = nullptr;
  g_PendingKeys = DYRSecretKeys_tag();
  ini.AddAssign("*", INI_Section);
  ini.AddAssign("*.*", INI_Item);
  if (ini.Process(nullptr) != 0) return -1;
  AddLastNode();
  return 0;
}

void CollectAccount(DYRAccount_tag* account, void* context) {
  static_cast<std::vector<DYRAccount_tag>*>(context)->push_back(*account);
  delete account;
}

}  // namespace

int ReadDyrIniFile(const char* path) {
  CINIProcessor ini(path);
  return ProcessAccounts(ini);
}

int ReadDyrAccounts(const char* path, std::vector<DYRAccount_tag>& accounts) {
  SetAccountHandler(CollectAccount, &accounts);
  int rc = ReadDyrIniFile(path);
  SetAccountHandler(nullptr, nullptr);
  return rc;
}

int ReadDyrAccountsText(const char* text, size_t len, std::vector<DYRAccount_tag>& accounts) {
  if (len > ZEPString::kMaxLength) return -1;
  CINIProcessor ini;
  if (ini.LoadIniText(text, static_cast<uint32_t>(len)) != 0) return -1;
  SetAccountHandler(CollectAccount, &accounts);
  int rc = ProcessAccounts(ini);
  SetAccountHandler(nullptr, nullptr);
  return rc;
}

bool HasCrLfClientHeader(const char* data, size_t len) {
  static const char kHeader[] = "[DYR_CLIENT]\r";
  const size_t n = sizeof(kHeader) - 1;
  if (data == nullptr) return false;
  for (size_t i = 0; i + n <= len; ++i) {
    if ((i == 0 || data[i - 1] == '\n') && std::memcmp(data + i, kHeader, n) == 0) return true;
  }
  return false;
}

ZEPString NoAccountText(const char* path) {
  ZEPString file;
  ZEPString text;
  if (file.LoadFromFile(path) == 0 && HasCrLfClientHeader(file.GetText(), file.GetLength())) {
    text << "No [DYR_CLIENT] section read: " << path
         << " has CR-LF line ends; save it with LF line ends.";
  } else {
    text << "No [DYR_CLIENT] section in " << path << ": no domain is kept updated.";
  }
  return text;
}

bool IsPortNumber(const ZEPString& text) {
  // Five digits at most: a zero-padded "000080" has never been a port here.
  uint64_t value = 0;
  return text.GetLength() <= 5 &&
         ZEPParseDecimal(text.GetSafeText(), text.GetLength(), 1, 65535, value) == 0;
}

std::vector<ZEPString> AccountWarnings(const DYRAccount_tag& account) {
  std::vector<ZEPString> warnings;
  // Every login would fail at the name lookup, every 20 s.
  if (account.m_strHost.IsEmpty())
    warnings.push_back(ZEPString("no Host: the login cannot succeed"));
  const struct {
    const char* name;
    const ZEPString& value;
  } kPorts[] = {{"MainPort", account.m_strMainPort}, {"AsstPort", account.m_strAsstPort}};
  for (const auto& port : kPorts) {
    if (IsPortNumber(port.value)) continue;
    ZEPString w;
    w << port.name << " \"" << port.value.GetSafeText()
      << "\" is not a port number from 1 to 65535";
    warnings.push_back(w);
  }
  if (account.m_Domains.empty())
    warnings.push_back(ZEPString("no Domain: nothing to keep updated"));
  return warnings;
}

bool SameAccount(const DYRAccount_tag& a, const DYRAccount_tag& b) {
  if (!(a.m_strHost == b.m_strHost) || !(a.m_strMainPort == b.m_strMainPort) ||
      !(a.m_strAsstPort == b.m_strAsstPort) || !(a.m_strUserName == b.m_strUserName) ||
      !(a.m_strPassword == b.m_strPassword) || !(a.m_strRefused == b.m_strRefused) ||
      a.m_Domains.size() != b.m_Domains.size()) {
    return false;
  }
  for (size_t i = 0; i < a.m_Domains.size(); ++i) {
    if (!(a.m_Domains[i].m_strDomain == b.m_Domains[i].m_strDomain) ||
        !(a.m_Domains[i].m_strOffline == b.m_Domains[i].m_strOffline)) {
      return false;
    }
  }
  return true;
}

namespace {

void ConsoleSection(ZEPString /*section*/, ZEPString /*name*/, ZEPString /*value*/, void* user) {
  static_cast<DYRConsoleConf_tag*>(user)->m_bPresent = true;
}

void ConsoleItem(ZEPString /*section*/, ZEPString name, ZEPString value, void* user) {
  DYRConsoleConf_tag* conf = static_cast<DYRConsoleConf_tag*>(user);
  if (name == "Host") {
    value.Trim();
    value.ToLower();
    if (!value.IsEmpty()) conf->m_strHost = value;
  } else if (name == "Port") {
    value.Trim();
    conf->m_strPort = value;
  } else if (DyrSecretItem(conf->m_Keys, name, value)) {
    // Read once the section is known, by ReadDyrConsole.
  } else if (name == "Charset") {
    value.Trim();
    if (value.IsEmpty()) return;  // as if not written
    conf->m_strBadCharset = "";
    if (ZEPCharsetByName(value.GetSafeText(), conf->m_eCharset) != 0) {
      conf->m_eCharset = kZEPCharsetUtf8;
      conf->m_strBadCharset = value;
    }
  }
}

// Reads the one section `name` of `path`: `onHeader` for each of its
// headers, `onItem` for each of its items. 0, or -1 when unreadable.
int ReadSection(const char* path, const char* name, INIAssignProc onHeader, INIAssignProc onItem,
                void* user) {
  CINIProcessor ini(path);
  ZEPString items(name);
  items << ".*";
  ini.AddAssign(ZEPString(name), onHeader);
  ini.AddAssign(items, onItem);
  return ini.Process(user) != 0 ? -1 : 0;
}

}  // namespace

int ReadDyrConsole(const char* path, DYRConsoleConf_tag& conf) {
  conf = DYRConsoleConf_tag();
  conf.m_strHost = "127.0.0.1";
  conf.m_strPort = "";
  conf.m_strPassword = "";
  if (ReadSection(path, "CONSOLE", ConsoleSection, ConsoleItem, &conf) != 0) return -1;
  if (!conf.m_bPresent) return 0;
  DYRSecret_tag secret = DyrResolveSecret(conf.m_Keys, CredentialsDir());
  conf.m_bHasPassword = secret.m_bGiven;
  conf.m_strPassword = secret.m_strPassword.IsNull() ? ZEPString("") : secret.m_strPassword;
  conf.m_strPasswordFrom = secret.m_strFrom;
  conf.m_strPasswordRefused = secret.m_strRefused;
  return 0;
}

ZEPString ConsoleProblem(const DYRConsoleConf_tag& conf) {
  ZEPString why;
  if (!conf.m_bPresent) return why;
  if (conf.m_strPort.IsEmpty()) {
    why << "[CONSOLE] has no Port=";
  } else if (!(conf.m_strPort == "0") && !IsPortNumber(conf.m_strPort)) {
    why << "[CONSOLE] Port \"" << conf.m_strPort << "\" is not a port number from 1 to 65535";
  } else if (!conf.m_bHasPassword) {
    why << "[CONSOLE] has no Password= (there is no default password)";
  } else if (!conf.m_strPasswordRefused.IsEmpty()) {
    why << "[CONSOLE] " << conf.m_strPasswordRefused;
  } else if (conf.m_strPassword.IsEmpty()) {
    why << "[CONSOLE] Password= does not unscramble to a password (write it with dyrscramble)";
  }
  return why;
}

std::vector<ZEPString> ConsoleWarnings(const DYRConsoleConf_tag& conf) {
  std::vector<ZEPString> warnings;
  if (conf.m_bPresent && !conf.m_strBadCharset.IsEmpty()) {
    ZEPString w;
    w << "[CONSOLE] Charset \"" << conf.m_strBadCharset
      << "\" is neither UTF-8 nor GB2312: the console sends UTF-8";
    warnings.push_back(w);
  }
  return warnings;
}

bool SameConsole(const DYRConsoleConf_tag& a, const DYRConsoleConf_tag& b) {
  return a.m_bPresent == b.m_bPresent && a.m_strHost == b.m_strHost && a.m_strPort == b.m_strPort &&
         a.m_bHasPassword == b.m_bHasPassword && a.m_strPassword == b.m_strPassword &&
         a.m_strPasswordRefused == b.m_strPasswordRefused && a.m_eCharset == b.m_eCharset;
}

namespace {

void HookSection(ZEPString /*section*/, ZEPString /*name*/, ZEPString /*value*/, void* user) {
  static_cast<DYRHookConf_tag*>(user)->m_bPresent = true;
}

void HookItem(ZEPString /*section*/, ZEPString name, ZEPString value, void* user) {
  DYRHookConf_tag* conf = static_cast<DYRHookConf_tag*>(user);
  value.Trim();
  if (name == "Command") {
    conf->m_strCommand = value;
  } else if (name == "Timeout") {
    conf->m_strTimeout = value;
  }
}

}  // namespace

int ReadDyrHook(const char* path, DYRHookConf_tag& conf) {
  conf = DYRHookConf_tag();
  conf.m_strCommand = "";
  conf.m_strTimeout = "";
  return ReadSection(path, "HOOK", HookSection, HookItem, &conf);
}
