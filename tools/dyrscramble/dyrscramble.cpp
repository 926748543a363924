// dyrscramble — prints the scrambled form of each argument, one per line, as
// dyrclient.ini stores UserName and Password. For writing a configuration
// without the interactive wizard (scripts, the demo). With -d it unscrambles.
#include <cstdio>
#include <cstring>

#include "app/proto/scramble.h"
#include "base/zepstring.h"

int main(int argc, char** argv) {
  InitDes(g_CredentialKey);
  bool decode = argc > 1 && std::strcmp(argv[1], "-d") == 0;
  if (argc < 2 || (decode && argc < 3)) {
    std::fprintf(stderr, "usage: dyrscramble [-d] TEXT...\n");
    return 2;
  }
  for (int i = decode ? 2 : 1; i < argc; ++i) {
    ZEPString out;
    if (decode) {
      DeAString(ZEPString(argv[i]), out);
    } else {
      EnAString(ZEPString(argv[i]), out);
    }
    std::printf("%s\n", out.GetSafeText());
  }
  return 0;
}
