// A seam under every call the platform files make on files. A build for the tests
// (TARVELIN_FAULTS) links a definition that can make any one of them fail, as a failing
// or full disk would; in every other build it is nothing and costs nothing.
#pragma once

#ifdef TARVELIN_FAULTS
// Whether the named call is to fail this time; if so the error is set as the system
// sets it (errno, or on Windows the thread's last error).
bool faultInjected(const char* call);
#else
inline bool faultInjected(const char*) {
    return false;
}
#endif

// `call`, or `failed` where the seam fails it.
#define OS_CALL(name, failed, call) (faultInjected(name) ? (failed) : (call))
