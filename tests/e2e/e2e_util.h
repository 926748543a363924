// Helpers of the end-to-end tests: the shared test support (a scratch work
// directory, the real binaries started with fork/exec, loopback UDP sockets,
// file reads and bounded waits) seen from the e2e namespace, so the tests of
// this folder name them unqualified. Every wait has a deadline.
#ifndef ZEP_TESTS_E2E_E2E_UTIL_H
#define ZEP_TESTS_E2E_E2E_UTIL_H

#include "support/childprocess.h"
#include "support/files.h"
#include "support/processes.h"
#include "support/tempdir.h"
#include "support/udpsocket.h"
#include "support/waitfor.h"

namespace e2e {

// A directive, not declarations: a test's own helper of the same name
// (in its anonymous namespace) still hides the shared one.
using namespace zeptest;  // NOLINT(google-build-using-namespace)

}  // namespace e2e

#endif  // ZEP_TESTS_E2E_E2E_UTIL_H
