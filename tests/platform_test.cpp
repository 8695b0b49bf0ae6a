#include "fault_seam.h"
#include "process.h"
#include "temporaries.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include "platform_windows.h"

#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace {

size_t filesOtherThan(const std::string& dir, const std::string& kept) {
    size_t left = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        left += item.path().filename() != kept;
    }
    return left;
}

#ifndef _WIN32
// Whether the system can send the signal at all: an emulator may let a program handle
// the last real-time signals but not send them. Sent while ignored, it is discarded.
bool canSend(int sig) {
    struct sigaction ignore = {};
    struct sigaction before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(sig, &ignore, &before);
    const bool sent = raise(sig) == 0;
    sigaction(sig, &before, nullptr);
    return sent;
}

// Where a file system gives no unnamed files, the temporaries have short names of
// their own beside the target, and every signal that would end the process removes
// them before it does, the real-time ones among them. Held off, as in putting the files
// in place, a signal (another process's bus error too) waits for the release.
TEST(Temporaries, NamedOnesGoWithEverySignalThatEndsTheProcess) {
    const std::string dir = makeScratchDir();
    const std::string target = std::string(200, 'o') + ".m3";
    Place place;
    int error = 0;
    ASSERT_TRUE(findPlace(dir + "/" + target, place, error));
    failEveryCall("open_unnamed", EOPNOTSUPP);
    Temporary temp;
    ASSERT_TRUE(createTemporary(place, false, Role::Output, temp, error));
    EXPECT_EQ(temp.name.rfind(".tarvelin-", 0), 0u) << temp.name;
    EXPECT_EQ(temp.name.size(), 18u) << temp.name;
    EXPECT_TRUE(writeAll(temp.fd, "abc", 3, error));
    ASSERT_TRUE(placeTemporary(place, temp, error));
    EXPECT_EQ(std::filesystem::file_size(dir + "/" + target), 3u);
    for (const bool held : {false, true}) {
        for (const int sig : {SIGUSR1, SIGALRM, SIGSEGV, SIGABRT, SIGBUS, SIGSTKFLT, SIGPWR,
                              SIGRTMIN, SIGRTMIN + 5, SIGRTMAX}) {
            if (!canSend(sig)) {
                continue;
            }
            EXPECT_EXIT(
                {
                    Temporary output;
                    Temporary log;
                    if (!createTemporary(place, false, Role::Output, output, error) ||
                        !createTemporary(place, true, Role::Log, log, error)) {
                        std::exit(1);
                    }
                    if (held) {
                        InterruptionHold hold;
                        raise(sig);
                        if (filesOtherThan(dir, target) != 2) {
                            std::exit(3);
                        }
                    } else {
                        raise(sig);
                    }
                    std::exit(2);
                },
                ::testing::KilledBySignal(sig), "");
            EXPECT_EQ(filesOtherThan(dir, target), 0u) << sig;
            EXPECT_EQ(std::filesystem::file_size(dir + "/" + target), 3u) << sig;
        }
    }
    failEveryCall("open_unnamed", 0);
    closePlace(place);
    removeTree(dir);
}
#else
// Ctrl+C, Ctrl+Break or closing the console window: the handler removes the
// temporaries, still open, and leaves the ending of the process to the default handler.
TEST(ConsoleControl, RemovesTheTemporariesAndLetsTheProcessEnd) {
    const std::string dir = makeScratchDir();
    Place place;
    Temporary temp;
    int error = 0;
    ASSERT_TRUE(findPlace(dir + "/out.m3", place, error));
    ASSERT_TRUE(createTemporary(place, false, Role::Output, temp, error));
    EXPECT_TRUE(writeAll(temp.fd, "abc", 3, error));
    // Unmarked, as in the instant of its rename, so that only the handler can remove it
    // (a removal Windows completes once the file is closed).
    ASSERT_TRUE(markToGo(temp.fd, false, error));
    EXPECT_EQ(handleConsoleControl(CTRL_C_EVENT), FALSE);
    releaseInterruptions();
    EXPECT_EQ(_close(temp.fd), 0);
    EXPECT_EQ(filesOtherThan(dir, ""), 0u);
    removeTree(dir);
}

// Every name Windows can hold survives the trip through the program's UTF-8 and back,
// halves of surrogate pairs included, and text in UTF-8 survives the other way.
TEST(Names, RoundTripBetweenUtf16AndUtf8) {
    const std::wstring names[] = {L"unit.m3",
                                  L"\x43C\x43E\x434.m3",
                                  L"\xD83D\xDE00.m3",
                                  L"a\xD800.m3",
                                  L"\xDC00"
                                  L"b",
                                  L"\xDBFF\xD800",
                                  L"\xFFFF"};
    for (const std::wstring& name : names) {
        EXPECT_EQ(toUtf16(fromUtf16(name.c_str())), name);
    }
    EXPECT_EQ(fromUtf16(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fromUtf16(L"\xD800"), "\xED\xA0\x80");
    EXPECT_EQ(toUtf16("\xD0\xBC"), L"\x43C");
}
#endif

} // namespace
