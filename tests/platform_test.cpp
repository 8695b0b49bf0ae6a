#include "platform_os.h"
#include "process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include "platform_windows.h"

#include <windows.h>
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
// An input that shrinks while it is mapped must end the program as an unreadable
// input does, with its temporary files removed, not with a bus error.
TEST(MappedInput, ShrinkingUnderTheMapEndsTheRunCleanly) {
    const std::string dir = makeScratchDir();
    const std::string input = dir + "/unit.m3";
    std::ofstream(input, std::ios::binary) << std::string(64 * 1024, 'x');
    EXPECT_EXIT(
        {
            CleanupRegistry registry;
            registry.inputFault.store("Cannot read \"unit.m3\"\n");
            guardRun(&registry);
            InputFile file;
            int error = 0;
            Place place;
            Temporary temp;
            InputBytes bytes;
            if (!openInput(input, file, error) ||
                !takeInputBytes(file.fd, file.size, bytes, error)) {
                std::exit(1);
            }
            if (bytes.storage || !findPlace(dir + "/unit_Sc2.m3", place, error) ||
                !createNamedTemporary(registry, place, false, temp, error)) {
                std::exit(2);
            }
            std::filesystem::resize_file(input, 0);
            volatile uint8_t last = bytes.data[file.size - 1];
            (void)last;
            std::exit(3);
        },
        ::testing::ExitedWithCode(255), "");
    EXPECT_EQ(filesOtherThan(dir, "unit.m3"), 0u) << "the temporary output was removed";
    removeTree(dir);
}
#else
// Ctrl+C, Ctrl+Break or closing the console window: the handler removes the
// temporaries, still open, and leaves the ending of the process to the default handler.
TEST(ConsoleControl, RemovesTheTemporariesAndLetsTheProcessEnd) {
    const std::string dir = makeScratchDir();
    CleanupRegistry registry;
    guardRun(&registry);
    Place place;
    Temporary temp;
    int error = 0;
    ASSERT_TRUE(findPlace(dir + "/out.m3", place, error));
    ASSERT_TRUE(createTemporary(registry, place, false, temp, error));
    EXPECT_TRUE(writeAll(temp.fd, "abc", 3, error));
    EXPECT_EQ(handleConsoleControl(CTRL_C_EVENT), FALSE);
    EXPECT_TRUE(closeFile(temp.fd, error));
    guardRun(nullptr);
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

// Where a file system gives no unnamed files, the temporaries have short names of
// their own beside the target, and every signal that would end the process removes
// them before it does.
TEST(Temporaries, NamedOnesHaveShortNamesAndGoWithAnyFatalSignal) {
    const std::string dir = makeScratchDir();
    const std::string target = dir + "/" + std::string(200, 'o') + ".m3";
    Place place;
    int error = 0;
    ASSERT_TRUE(findPlace(target, place, error));
    CleanupRegistry registry;
    Temporary first;
    Temporary second;
    ASSERT_TRUE(createNamedTemporary(registry, place, false, first, error));
    ASSERT_TRUE(createNamedTemporary(registry, place, false, second, error));
    EXPECT_NE(first.name, second.name);
    EXPECT_EQ(first.name.rfind(".tarvelin-", 0), 0u) << first.name;
    EXPECT_EQ(first.name.size(), 18u) << first.name;
    EXPECT_TRUE(writeAll(first.fd, "abc", 3, error));
    ASSERT_TRUE(sealTemporary(registry, place, first, error));
    ASSERT_TRUE(placeTemporary(registry, place, first, error));
    EXPECT_EQ(std::filesystem::file_size(target), 3u);
    removeTemporary(registry, place, second);
    EXPECT_EQ(filesOtherThan(dir, std::string(200, 'o') + ".m3"), 0u);
#ifndef _WIN32
    for (const int sig : {SIGUSR1, SIGALRM, SIGSEGV, SIGABRT}) {
        EXPECT_EXIT(
            {
                guardRun(&registry);
                Temporary temp;
                if (!createNamedTemporary(registry, place, false, temp, error)) {
                    std::exit(1);
                }
                raise(sig);
                std::exit(2);
            },
            ::testing::KilledBySignal(sig), "");
        EXPECT_EQ(filesOtherThan(dir, std::string(200, 'o') + ".m3"), 0u) << sig;
    }
#endif
    closePlace(place);
    removeTree(dir);
}

} // namespace
