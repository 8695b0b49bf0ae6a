// The tests' side of the seam under the platform's calls to the system, in the program
// built for them. What it does is read from TARVELIN_FAULT at the first call:
//   list:PATH  every call's name is appended to PATH, a line each; none fails
//   N:E        the Nth call fails with error E
//   N+:E       the Nth call fails with E, and so does every later call of its name
//   N*:E       the Nth call and every later call fail with E
//   N:signal   SIGTERM is raised at the Nth call, which then goes on (POSIX)
//   N:kill     SIGKILL is raised at the Nth call (POSIX)
// and TARVELIN_FAULT_ALWAYS=NAME:E fails every call of that name with E.
#include "fault_seam.h"
#include "platform_seam.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct Plan {
    bool read = false;
    FILE* list = nullptr;
    long target = 0;
    bool onward = false;
    bool everything = false;
    int signal = 0;
    int error = 0;
    std::string onwardName;
    std::string alwaysName;
    int alwaysError = 0;
    long calls = 0;
};

Plan plan;

void readPlan() {
    plan.read = true;
    const char* fault = std::getenv("TARVELIN_FAULT");
    const std::string wanted = fault ? fault : "";
    if (wanted.rfind("list:", 0) == 0) {
        plan.list = std::fopen(wanted.c_str() + 5, "a");
    } else if (!wanted.empty()) {
        char* end = nullptr;
        plan.target = std::strtol(wanted.c_str(), &end, 10);
        plan.onward = *end == '+';
        plan.everything = *end == '*';
        const char* what = std::strchr(end, ':');
#ifndef _WIN32
        plan.signal = !what                                  ? 0
                      : std::strcmp(what + 1, "signal") == 0 ? SIGTERM
                      : std::strcmp(what + 1, "kill") == 0   ? SIGKILL
                                                             : 0;
#endif
        plan.error = what && plan.signal == 0 ? std::atoi(what + 1) : 0;
    }
    const char* always = std::getenv("TARVELIN_FAULT_ALWAYS");
    const char* colon = always ? std::strchr(always, ':') : nullptr;
    if (colon) {
        failEveryCall(std::string(always, colon).c_str(), std::atoi(colon + 1));
    }
}

bool fail(int error) {
#ifdef _WIN32
    SetLastError(DWORD(error));
    _doserrno = (unsigned long)error;
    errno = EIO;
#else
    errno = error;
#endif
    return true;
}

} // namespace

void failEveryCall(const char* call, int error) {
    plan.read = true;
    plan.alwaysName = error != 0 ? call : "";
    plan.alwaysError = error;
}

bool faultInjected(const char* call) {
    if (!plan.read) {
        readPlan();
    }
    if (call == plan.alwaysName) {
        return fail(plan.alwaysError);
    }
    ++plan.calls;
    if (plan.list) {
        std::fprintf(plan.list, "%s\n", call);
        std::fflush(plan.list);
        return false;
    }
    if ((plan.onward && call == plan.onwardName) || (plan.everything && plan.calls > plan.target)) {
        return fail(plan.error);
    }
    if (plan.calls != plan.target) {
        return false;
    }
    if (plan.signal != 0) {
        std::raise(plan.signal);
        return false;
    }
    plan.onwardName = plan.onward ? call : "";
    return fail(plan.error);
}
