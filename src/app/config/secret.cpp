#include "app/config/secret.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/proto/scramble.h"
#include "base/zepsmallfile.h"
#include "log/zeplogsafe.h"

namespace {

// A credential name is one file of the directory, nothing above or beside it.
bool IsCredentialName(const ZEPString& name) {
  const char* p = name.GetSafeText();
  const uint32_t n = name.GetLength();
  if (n == 0 || name == "." || name == "..") return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (p[i] == '/' || p[i] == '\0') return false;
  }
  return true;
}

}  // namespace

bool DyrSecretItem(DYRSecretKeys_tag& keys, const ZEPString& name, ZEPString value) {
  value.Trim();
  const bool given = !value.IsEmpty();
  if (name == "Password") {
    keys.m_bScrambled = given;
    keys.m_strPlain = "";
    // Stored credentials are scrambled; the plain text ends at its first zero.
    if (given) DeAString(value, keys.m_strPlain);
  } else if (name == "PasswordCredential") {
    keys.m_bCredential = given;
    keys.m_strCredential = value;
  } else if (name == "PasswordFile") {
    keys.m_bFile = given;
    keys.m_strFile = value;
  } else {
    return false;
  }
  return true;
}

int DyrReadSecretFile(const char* path, const ZEPString& subject, bool privateOnly,
                      ZEPString& secret, ZEPString& why) {
  secret = ZEPString();
  why = "";
  // The work directory's reader: a FIFO or a device put in its place must
  // not stop the reader (the daemon reads it on its service thread); links
  // are followed, since a credential may be one.
  int fd = -1;
  const int opened = ZEPOpenRegular(path, true, fd);
  if (opened == -2 || (opened == -1 && errno == EISDIR)) {
    why << subject << " is not a regular file";
    return -1;
  }
  if (opened != 0) {
    why << subject << ": " << std::strerror(errno);
    return -1;
  }
  struct stat st {};
  // Room for the whole read up front: the password is never moved to a
  // larger buffer, which would leave a copy behind.
  std::string data;
  data.reserve(kDyrSecretMaxBytes + 1);
  int rc = -1;
  if (fstat(fd, &st) != 0) {
    why << subject << ": " << std::strerror(errno);
  } else if (privateOnly && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why << subject << " is readable by group or others (mode " << mode << "; chmod 600 it)";
  } else if (ZEPReadBounded(fd, kDyrSecretMaxBytes, data) != 0) {
    if (errno == EFBIG) {
      why << subject << " is larger than " << static_cast<unsigned long>(kDyrSecretMaxBytes)
          << " bytes";
    } else {
      why << subject << ": " << std::strerror(errno);
    }
  } else {
    if (!data.empty() && data.back() == '\n') data.pop_back();
    if (!data.empty() && data.back() == '\r') data.pop_back();
    if (data.empty()) {
      why << subject << " is empty";
    } else if (data.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      why << subject << " is not one line (a line end or zero byte inside)";
    } else {
      secret = ZEPString::FromBytes(data.data(), static_cast<uint32_t>(data.size()));
      rc = 0;
    }
  }
  // The buffer held the password: gone before its memory is reused.
  if (!data.empty()) std::memset(&data[0], 0, data.size());
  close(fd);
  return rc;
}

DYRSecret_tag DyrResolveSecret(const DYRSecretKeys_tag& keys, const char* credentialsDir) {
  DYRSecret_tag out;
  const int given = keys.m_bScrambled + keys.m_bCredential + keys.m_bFile;
  out.m_bGiven = given > 0;
  if (given > 1) {
    out.m_strRefused = "more than one of Password=, PasswordCredential=, PasswordFile= (write one)";
    return out;
  }
  if (keys.m_bScrambled) {
    out.m_strPassword = keys.m_strPlain;
    return out;
  }
  if (keys.m_bCredential) {
    const ZEPString name = ZEPLogSafeText(keys.m_strCredential);
    out.m_strFrom << "credential " << name;
    if (!IsCredentialName(keys.m_strCredential)) {
      out.m_strRefused << "PasswordCredential \"" << name
                       << "\" is not a credential name (no \"/\", not \".\" or \"..\")";
    } else if (credentialsDir == nullptr || *credentialsDir == '\0') {
      out.m_strRefused << "PasswordCredential=" << name
                       << ": CREDENTIALS_DIRECTORY is not set (the service's LoadCredential= "
                          "sets it)";
    } else {
      std::string path = credentialsDir;
      if (path.back() != '/') path += '/';
      path += keys.m_strCredential.GetSafeText();
      ZEPString subject;
      subject << "credential " << name << " (" << ZEPLogSafeText(ZEPString(path.c_str())) << ")";
      // systemd makes the file private; the mode is its business.
      DyrReadSecretFile(path.c_str(), subject, false, out.m_strPassword, out.m_strRefused);
    }
    return out;
  }
  if (keys.m_bFile) {
    const ZEPString shown = ZEPLogSafeText(keys.m_strFile);
    out.m_strFrom << "file " << shown;
    const char* path = keys.m_strFile.GetSafeText();
    if (path[0] != '/' || std::strlen(path) != keys.m_strFile.GetLength()) {
      out.m_strRefused << "PasswordFile \"" << shown << "\" is not an absolute path";
    } else {
      ZEPString subject;
      subject << "PasswordFile " << shown;
      DyrReadSecretFile(path, subject, true, out.m_strPassword, out.m_strRefused);
    }
  }
  return out;
}
