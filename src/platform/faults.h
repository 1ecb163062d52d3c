// Fault injection for the tests. A build configured with FP_FAULTS (Linux
// hosts only) counts every file call of the platform layer under one of eight
// operations and can make a chosen call fail with a chosen error, so that each
// failure path of an install can be run on purpose. The environment of such a
// build selects what happens, read once when the process starts:
//   FP_FAULT=<op>:<n>:<error>[,...]  the n-th call (from 1) of op fails with
//                                    error (ENOSPC, EIO, EACCES, EINTR, ...)
//   FP_FAULT_COUNT=<file>            the calls of each operation, written at exit
//   FP_FAULT_TRACE=<file>            one line per call: op, number, function and
//                                    path, and the error of a call made to fail
// In every other build each hook below is an empty statement and nothing of
// this is compiled: the variables mean nothing there.
#pragma once

#if defined(FP_FAULTS)

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"

enum class faultop { open, read, write, close, rename, mkdir, unlink, stat };
constexpr int FAULTOPS = 8;

// Counts one call of op made by the function fn on path (or on the open
// descriptor fd): the error number the call is to fail with, else 0. errno is
// left as it was.
int faultcheck(faultop op, const char* fn, const char* path);
int faultcheck(faultop op, const char* fn, int fd);

// Replaces the selection (FP_FAULT syntax; empty for none) and zeroes the
// counts: true when the whole text was understood, else nothing changes.
bool faultselect(std::string_view spec);
// While on, the hooks of the calling thread count nothing and fail nothing:
// its calls were counted ahead by the thread that handed them over.
void faultquiet(bool on);
// Calls of op counted so far.
long faultcalls(faultop op);

// How the hooks fail a call. Sets errno to err and returns -1.
int faultfail(int err);
// Closes fd as the failing close of the host would (the descriptor is gone
// either way), then fails with err.
int faultclose(int fd, int err);
// A text output stream on fd whose writes and close go through writefd and
// closefd, so that they are counted and can fail.
std::FILE* faulttextstream(int fd);

#define FP_FAULTHOOK(op, key, failure)                                            \
    do {                                                                          \
        if (int fperr = faultcheck(faultop::op, __func__, key); fperr != 0)       \
            return failure;                                                       \
    } while (0)
// The error number the call is to fail with, else 0 (the call decides how);
// counted as one of the function fn.
#define FP_FAULT_AS(op, fn, key) faultcheck(faultop::op, fn, key)
#define FP_FAULT_CHECK(op, key) FP_FAULT_AS(op, __func__, key)
// A call that fails with -1 and errno.
#define FP_FAULT_FAIL(op, key) FP_FAULTHOOK(op, key, faultfail(fperr))
// A call that returns the error number.
#define FP_FAULT_ERROR(op, key) FP_FAULTHOOK(op, key, fperr)
#define FP_FAULT_CLOSE(fd) FP_FAULTHOOK(close, fd, faultclose(fd, fperr))
#define FP_FAULT_TEXTSTREAM(fd) return faulttextstream(fd)
#define FP_FAULT_QUIET(on) faultquiet(on)

#else

#define FP_FAULT_FAIL(op, key) static_cast<void>(0)
#define FP_FAULT_ERROR(op, key) static_cast<void>(0)
#define FP_FAULT_CLOSE(fd) static_cast<void>(0)
#define FP_FAULT_AS(op, fn, key) 0
#define FP_FAULT_CHECK(op, key) 0
#define FP_FAULT_TEXTSTREAM(fd) static_cast<void>(0)
#define FP_FAULT_QUIET(on) static_cast<void>(0)

#endif
