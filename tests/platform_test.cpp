#include "platform.h"
#include "process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

#ifndef _WIN32
// An input that shrinks while it is mapped must end the program as an unreadable
// input does, with its temporary files removed, not with a bus error.
TEST(MappedInput, ShrinkingUnderTheMapEndsTheRunCleanly) {
    const std::string dir = makeScratchDir();
    const std::string input = dir + "/unit.m3";
    std::ofstream(input, std::ios::binary) << std::string(64 * 1024, 'x');
    std::string tempPath;
    EXPECT_EXIT(
        {
            int fd = -1;
            uint64_t size = 0;
            int error = 0;
            if (!openInput(input, fd, size, error)) {
                std::exit(1);
            }
            const uint8_t* bytes = mapInput(fd, size, input);
            int out = -1;
            if (!bytes || !createTemporary(dir + "/unit_Sc2.m3", false, tempPath, out, error)) {
                std::exit(2);
            }
            std::filesystem::resize_file(input, 0);
            volatile uint8_t last = bytes[size - 1];
            (void)last;
            std::exit(3);
        },
        ::testing::ExitedWithCode(255), "");
    size_t left = 0;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        left += item.path().filename() != "unit.m3";
    }
    EXPECT_EQ(left, 0u) << "the temporary output was removed";
    removeTree(dir);
}
#endif

TEST(Temporaries, AreCreatedBesideTheTargetUnderNewNames) {
    const std::string dir = makeScratchDir();
    std::string first;
    std::string second;
    int fd1 = -1;
    int fd2 = -1;
    int error = 0;
    ASSERT_TRUE(createTemporary(dir + "/out.m3", false, first, fd1, error));
    ASSERT_TRUE(createTemporary(dir + "/out.m3", false, second, fd2, error));
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(dir + "/out.m3.tmp", 0), 0u);
    EXPECT_TRUE(writeAll(fd1, "abc", 3, error));
    EXPECT_TRUE(closeFile(fd1, error));
    EXPECT_TRUE(closeFile(fd2, error));
    ASSERT_TRUE(replaceFile(first, dir + "/out.m3", error));
    ASSERT_TRUE(replaceFile(second, dir + "/out.m3", error)) << "an existing file is replaced";
    EXPECT_EQ(std::filesystem::file_size(dir + "/out.m3"), 0u);
    EXPECT_FALSE(std::filesystem::exists(first));
    removeTree(dir);
}

} // namespace
