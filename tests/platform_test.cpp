#include "platform.h"
#include "process.h"

#include <gtest/gtest.h>

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
            int fd = -1;
            uint64_t size = 0;
            FileId id;
            int error = 0;
            std::string tempPath;
            int out = -1;
            InputBytes bytes;
            if (!openInput(input, fd, size, id, error) || !takeInputBytes(fd, size, bytes, error)) {
                std::exit(1);
            }
            if (bytes.storage ||
                !createTemporary(registry, dir + "/unit_Sc2.m3", false, tempPath, out, error)) {
                std::exit(2);
            }
            std::filesystem::resize_file(input, 0);
            volatile uint8_t last = bytes.data[size - 1];
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
    std::string tempPath;
    int fd = -1;
    int error = 0;
    ASSERT_TRUE(createTemporary(registry, dir + "/out.m3", false, tempPath, fd, error));
    EXPECT_TRUE(writeAll(fd, "abc", 3, error));
    EXPECT_EQ(handleConsoleControl(CTRL_C_EVENT), FALSE);
    EXPECT_TRUE(closeFile(fd, error));
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

TEST(Temporaries, HaveShortNewNamesBesideTheTargetAndReplaceIt) {
    const std::string dir = makeScratchDir();
    CleanupRegistry registry;
    std::string first;
    std::string second;
    int fd1 = -1;
    int fd2 = -1;
    int error = 0;
    const std::string target = dir + "/" + std::string(200, 'o') + ".m3";
    ASSERT_TRUE(createTemporary(registry, target, false, first, fd1, error));
    ASSERT_TRUE(createTemporary(registry, target, false, second, fd2, error));
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(dir + "/.tarvelin-", 0), 0u) << first;
    EXPECT_EQ(first.size(), dir.size() + 19) << first;
    EXPECT_TRUE(writeAll(fd1, "abc", 3, error));
    EXPECT_TRUE(closeFile(fd1, error));
    EXPECT_TRUE(closeFile(fd2, error));
    size_t failed = 9;
    ASSERT_TRUE(replaceFiles(registry, {{first, target}}, failed, error));
    ASSERT_TRUE(replaceFiles(registry, {{second, target}}, failed, error))
        << "an existing file is replaced";
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
    EXPECT_EQ(filesOtherThan(dir, std::string(200, 'o') + ".m3"), 0u);
    removeTree(dir);
}

} // namespace
