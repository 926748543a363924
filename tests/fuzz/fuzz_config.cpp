// The whole configuration load (INI walker, account callbacks, credential
// unscrambling) over any file text. Properties: one account per
// [DYR_CLIENT] header, in order; hosts are lower case without outer spaces;
// every domain has a name without ";"; the load is repeatable; the warnings
// and the comparison of accounts run on whatever was read; a refused
// account has no password, and a password read from a credential or a file
// is one non-empty line of at most kDyrSecretMaxBytes. The target's own
// credentials directory holds one credential, "seed", which must read
// "fuzz-pw".
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/config/inifile.h"
#include "app/config/iniprocessor.h"
#include "app/config/secret.h"
#include "app/proto/scramble.h"
#include "fuzz_util.h"

namespace {

class HeaderCounter : public CINIVisitor {
 public:
  void OnSection(const ZEPString& name) override {
    if (name == "DYR_CLIENT") ++m_nClients;
  }
  void OnItem(const ZEPString&, const ZEPString&, const ZEPString&) override {}
  size_t m_nClients = 0;
};

std::string g_CredDir;

void RemoveCredentials() {
  std::remove((g_CredDir + "/seed").c_str());
  rmdir(g_CredDir.c_str());
}

// A credentials directory of the target's own, as systemd would pass it.
bool MakeCredentials() {
  char tmpl[] = "/tmp/dyrfuzzcred_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  g_CredDir = tmpl;
  FILE* f = std::fopen((g_CredDir + "/seed").c_str(), "w");
  if (f == nullptr) return false;
  std::fputs("fuzz-pw\n", f);
  std::fclose(f);
  chmod((g_CredDir + "/seed").c_str(), 0400);
  std::atexit(RemoveCredentials);
  return setenv("CREDENTIALS_DIRECTORY", g_CredDir.c_str(), 1) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool keyed = (InitDes(g_CredentialKey), true);
  (void)keyed;
  static const bool creds = MakeCredentials();
  FUZZ_CHECK(creds);
  std::vector<char> text(data, data + size);
  const char* p = text.empty() ? nullptr : text.data();

  std::vector<DYRAccount_tag> accounts;
  FUZZ_CHECK(ReadDyrAccountsText(p, size, accounts) == 0);
  HeaderCounter headers;
  ZEPString section;
  WalkIniText(p, static_cast<uint32_t>(size), section, headers);
  FUZZ_CHECK(accounts.size() == headers.m_nClients);

  for (const DYRAccount_tag& a : accounts) {
    const ZEPString& host = a.m_strHost;
    for (uint32_t i = 0; i < host.GetLength(); ++i)
      FUZZ_CHECK(!(host.GetText()[i] >= 'A' && host.GetText()[i] <= 'Z'));
    if (!host.IsEmpty()) {
      FUZZ_CHECK(host.GetText()[0] != ' ' && host.GetText()[host.GetLength() - 1] != ' ');
    }
    for (const DYRDomain_tag& d : a.m_Domains) {
      FUZZ_CHECK(!d.m_strDomain.IsEmpty());
      FUZZ_CHECK(!d.m_strOffline.IsNull());
      const std::string name(d.m_strDomain.GetText(), d.m_strDomain.GetLength());
      FUZZ_CHECK(name.find(';') == std::string::npos);
    }
    // Unscrambled credentials end at their first zero byte.
    FUZZ_CHECK(a.m_strUserName.IsNull() ||
               std::string(a.m_strUserName.GetText(), a.m_strUserName.GetLength()).find('\0') ==
                   std::string::npos);
    if (!a.m_strRefused.IsEmpty()) FUZZ_CHECK(a.m_strPassword.IsNull());
    if (a.m_strRefused.IsEmpty() && !a.m_strPasswordFrom.IsEmpty()) {
      const std::string pw(a.m_strPassword.GetSafeText(), a.m_strPassword.GetLength());
      FUZZ_CHECK(!pw.empty() && pw.size() <= kDyrSecretMaxBytes);
      FUZZ_CHECK(pw.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    }
    if (a.m_strPasswordFrom == "credential seed")
      FUZZ_CHECK(a.m_strRefused.IsEmpty() && a.m_strPassword == "fuzz-pw");
    std::vector<ZEPString> warnings = AccountWarnings(a);
    FUZZ_CHECK(warnings.empty() == (!a.m_strHost.IsEmpty() && IsPortNumber(a.m_strMainPort) &&
                                    IsPortNumber(a.m_strAsstPort) && !a.m_Domains.empty()));
    FUZZ_CHECK(SameAccount(a, a));
  }

  std::vector<DYRAccount_tag> again;
  FUZZ_CHECK(ReadDyrAccountsText(p, size, again) == 0);
  FUZZ_CHECK(again.size() == accounts.size());
  for (size_t i = 0; i < again.size(); ++i) FUZZ_CHECK(SameAccount(again[i], accounts[i]));
  return 0;
}
