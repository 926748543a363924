// zepmultithread.h — the framework's thread layer in one include: threads,
// service threads and the priority shim (zepmultithread_thread.h), the lock
// and the semaphore (zepmultithread_lock.h), and clocks, sleeps and wake-up
// descriptors (zepmultithread_clock.h). Each part states its own contract;
// none of them takes a lock besides the one it is. The deadlock detector
// (zepdeadlock.h) and the lock guard (lockguard.h) stand on top of these.
#ifndef ZEP_BASE_ZEPMULTITHREAD_H
#define ZEP_BASE_ZEPMULTITHREAD_H

#include "base/zepmultithread_clock.h"
#include "base/zepmultithread_lock.h"
#include "base/zepmultithread_thread.h"

#endif  // ZEP_BASE_ZEPMULTITHREAD_H
