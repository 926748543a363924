// secret.h — a password kept outside dyrclient.ini. A section names its
// password one of three ways: Password= (scrambled, in the file), a
// systemd credential (PasswordCredential=NAME: the file NAME of
// $CREDENTIALS_DIRECTORY, which LoadCredential= or LoadCredentialEncrypted=
// fill) or a file of its own (PasswordFile=PATH). The last two hold the
// password in plain text on one line.
//
// Owns: DYRSecretKeys_tag, what one section wrote about its password, and
// the reading of the password those keys name. A section that writes more
// than one of the three keys gets no password at all: a fixed order would
// quietly use a password the user may believe gone (an old Password= left
// beside a new PasswordCredential=), and the refusal shows in the log and in
// --check-config instead of as logins that fail every 20 s.
//
// Never puts the password into a text it returns besides the password
// itself: reasons and sources name keys, names and paths only.
//
// Threads: any; no shared state but the file system. Takes no lock. Reads
// one small file per call, with a bounded read that never waits on a FIFO or
// a device.
#ifndef ZEP_APP_CONFIG_SECRET_H
#define ZEP_APP_CONFIG_SECRET_H

#include <cstddef>

#include "base/zepstring.h"

// The largest password file read; anything longer is refused unread.
static const size_t kDyrSecretMaxBytes = 4096;

// What a section wrote about its password; a key with an empty value counts
// as not written, a key written twice keeps its later value.
struct DYRSecretKeys_tag {
  bool m_bScrambled = false;  // Password=
  ZEPString m_strPlain;       // Password= unscrambled (ends at its first zero)
  bool m_bCredential = false;
  ZEPString m_strCredential;  // the NAME of PasswordCredential=, trimmed
  bool m_bFile = false;
  ZEPString m_strFile;  // the PATH of PasswordFile=, trimmed
};

// The password a section ends up with.
struct DYRSecret_tag {
  bool m_bGiven = false;    // one of the keys was written
  ZEPString m_strPassword;  // plain text; null when not given or refused
  // "credential NAME" or "file PATH" (as written, control characters
  // escaped); empty for Password= and when nothing was given.
  ZEPString m_strFrom;
  // Why the section gets no password, for a WARN line; empty when it gets
  // one (or none was asked for).
  ZEPString m_strRefused;
};

// Records the item `name` = `value` of a section when `name` is one of the
// three keys (Password= is unscrambled here); false for any other name.
bool DyrSecretItem(DYRSecretKeys_tag& keys, const ZEPString& name, ZEPString value);

// The password `keys` name. `credentialsDir` is $CREDENTIALS_DIRECTORY
// (null or empty when it is not set).
DYRSecret_tag DyrResolveSecret(const DYRSecretKeys_tag& keys, const char* credentialsDir);

// Reads the one-line password of `path` (named `subject` in `why`): a
// regular file of at most kDyrSecretMaxBytes, one trailing LF or CR LF
// dropped, not empty, no other line end or zero byte. With `privateOnly`
// the file must not be readable by group or others. Links are followed;
// the checks apply to the file opened. 0, or -1 with the reason in `why`.
int DyrReadSecretFile(const char* path, const ZEPString& subject, bool privateOnly,
                      ZEPString& secret, ZEPString& why);

#endif  // ZEP_APP_CONFIG_SECRET_H
