#include "process.h"
#include "support.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

const std::string NOT_M3 = "This is not a valid M3 file.\n";

#ifdef _WIN32
// What the command interpreter's PAUSE prints starts so; its dots and line end differ
// between Windows versions and Wine.
const std::string PAUSE_PROMPT = "Press any key to continue";
bool isPausePrompt(const std::string& text) {
    return text.compare(0, PAUSE_PROMPT.size(), PAUSE_PROMPT) == 0;
}
const std::string DIRECTORY_REASON = "Permission denied";
#define POSIX_ONLY() GTEST_SKIP() << "file modes and size limits are POSIX features"
// The log is a text file: its lines end in CR LF on Windows.
std::string asTextFile(const std::string& text) {
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return crlf;
}
#else
const std::string PAUSE_PROMPT = "Press Enter to continue . . .\n";
bool isPausePrompt(const std::string& text) {
    return text == PAUSE_PROMPT;
}
const std::string DIRECTORY_REASON = "Is a directory";
#define POSIX_ONLY() (void)0
std::string asTextFile(const std::string& text) {
    return text;
}
#endif

std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Every file below a directory with its contents, to show that a run changed nothing.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(item.path(), dir).generic_u8string();
        files[name] =
            item.is_regular_file() ? text(readFileBytes(item.path().u8string())) : "<dir>";
    }
    return files;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override { dir = makeScratchDir(); }
    void TearDown() override { removeTree(dir); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const std::vector<uint8_t>& bytes) const {
        ASSERT_TRUE(writeFileBytes(path(name), bytes));
        setMode(path(name), 0644);
    }
    void put(const std::string& name, const std::string& bytes) const {
        put(name, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    // A model whose index of `count` entries lies at `indexOffset` of a sparse file:
    // only the header and the first entry, a header block, hold bytes.
    void putSparse(const std::string& name, uint64_t indexOffset, uint32_t count) const {
        std::vector<uint8_t> head = headerEntry(24).bytes;
        storeU32(head, 0, TAG_MD34);
        storeU32(head, 4, uint32_t(indexOffset));
        storeU32(head, 8, count);
        std::vector<uint8_t> entry(16, 0);
        storeU32(entry, 0, TAG_MD34);
        storeU32(entry, 8, 1);
        std::ofstream f(path(name), std::ios::binary);
        f.write(reinterpret_cast<const char*>(head.data()), 24);
        f.seekp(std::streamoff(indexOffset));
        f.write(reinterpret_cast<const char*>(entry.data()), 16);
        f.close();
        fs::resize_file(path(name), indexOffset + uint64_t(count) * 16);
    }
    RunResult run(const std::vector<std::string>& args, RunOptions options = {}) const {
        if (options.cwd.empty()) {
            options.cwd = dir;
        }
        return runProgram(TARVELIN_EXE, args, options);
    }

    std::string dir;
};

TEST_F(Cli, ConvertsTheWorkedCaseBesideTheInput) {
    put("unit.m3", workedInput());
    const Conversion expected = convert(workedInput());
    const RunResult r = run({"unit.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Strings Found: \n\tabcd\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), expected.output);
    EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))), asTextFile(expected.log));
    EXPECT_EQ(snapshot(dir).size(), 3u) << "no temporary file is left behind";
}

TEST_F(Cli, ArgumentsDecideUsageConversionAndPause) {
    const struct {
        std::vector<std::string> args;
        bool converts;
        bool pauses;
    } cases[] = {
        {{}, false, true},
        {{"unit.m3", "-c", "more"}, false, true},
        {{"unit.m3"}, true, true},
        {{"unit.m3", "-c"}, true, false},
        {{"unit.m3", "-C"}, true, true},
        {{"unit.m3", "-cc"}, true, true},
        {{"unit.m3", "--c"}, true, true},
        {{"unit.m3", "-c "}, true, true},
        {{"unit.m3", "anything"}, true, true},
    };
    for (const auto& c : cases) {
        put("unit.m3", workedInput());
        fs::remove(path("unit_Sc2.m3"));
        const RunResult r = run(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(r.status, 0) << shown;
        EXPECT_EQ(r.err, "") << shown;
        const std::string body = c.converts ? "Strings Found: \n\tabcd\n"
                                            : "Drag an m3 file to this tool.\n"
                                              "or do Tarvelin <filename> -c.\n";
        EXPECT_EQ(r.out.substr(0, body.size()), body) << shown;
        const std::string after = r.out.substr(std::min(body.size(), r.out.size()));
        if (c.pauses) {
            EXPECT_TRUE(isPausePrompt(after)) << shown << ": " << after;
        } else {
            EXPECT_EQ(after, "") << shown;
        }
        EXPECT_EQ(fs::exists(path("unit_Sc2.m3")), c.converts) << shown;
    }
}

TEST_F(Cli, LargeBlocksGoStraightToTheFileAndMatchTheConversionInMemory) {
    // A header block far larger than the write buffer is written past it, so the
    // index position is patched into the file itself.
    BuildEntry header = headerEntry(3 << 20);
    const std::vector<uint8_t> input =
        buildM3({header, elementsEntry(TAG_MODL, 28, 3000, 844), charEntry("big"),
                 BuildEntry{makeTag('V', 'E', 'R', 'T'), 1, 1, repeated(0x5A, (2 << 20) + 3)}});
    put("big.m3", input);
    const Conversion expected = convert(input);
    ASSERT_EQ(expected.status, LoadStatus::Loaded);
    const RunResult r = run({"big.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Strings Found: \n\tbig\n");
    EXPECT_TRUE(readFileBytes(path("big_Sc2.m3")) == expected.output);
    EXPECT_EQ(loadU32(readFileBytes(path("big_Sc2.m3")), 4), loadU32(expected.output, 4));
}

TEST_F(Cli, FileNamesOutsideAsciiAreConverted) {
    const std::string name =
        "\xD0\xBC\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBB\xD1\x8C"; // "model" in Russian
    put(name + ".m3", workedInput());
    const RunResult r = run({name + ".m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Strings Found: \n\tabcd\n");
    EXPECT_EQ(readFileBytes(path(name + "_Sc2.m3")), convert(workedInput()).output);
}

TEST_F(Cli, ReplacesAnEarlierOutputAndLog) {
    put("unit.m3", workedInput());
    put("unit_Sc2.m3",
        std::string("old output, much longer than the new one will be") + std::string(500, 'o'));
    put("Logfile.txt", std::string(400, 'L'));
    const RunResult r = run({"unit.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), convert(workedInput()).output);
    EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))), asTextFile(convert(workedInput()).log));
}

TEST_F(Cli, OutputNameFollowsTheLastDotOfThePath) {
    fs::create_directory(path("dir.old"));
    fs::create_directory(path("dir_Sc2.old"));
    put("dir.old/model", workedInput());
    put("model", workedInput());
    EXPECT_EQ(run({"dir.old/model", "-c"}).status, 0);
    EXPECT_TRUE(fs::exists(path("dir_Sc2.old/model")));
    EXPECT_EQ(run({"model", "-c"}).status, 0);
    EXPECT_TRUE(fs::exists(path("model_Sc2")));
}

TEST_F(Cli, RejectedInputsTouchNoFileAndDoNotPause) {
    std::vector<uint8_t> noBlocks = workedInput();
    storeU32(noBlocks, 8, 0);
    std::vector<uint8_t> wrongOrder = workedInput();
    std::memcpy(wrongOrder.data(), "MD34", 4);
    const struct {
        const char* name;
        std::vector<uint8_t> file;
        std::string out;
    } cases[] = {
        {"empty", {}, NOT_M3},
        {"letters in reading order", wrongOrder, NOT_M3},
        {"short header",
         {'4', '3', 'D', 'M', 0, 0},
         NOT_M3 + "The header is cut short: the file is 6 bytes long, the header needs 24.\n"},
        {"no blocks", noBlocks,
         NOT_M3 + "The index has no entries, so the file holds no blocks.\n"},
    };
    for (const auto& c : cases) {
        put("bad.m3", c.file);
        put("bad_Sc2.m3", "earlier output");
        put("Logfile.txt", "earlier log");
        const auto before = snapshot(dir);
        const RunResult r = run({"bad.m3"});
        EXPECT_EQ(r.status, failureStatus()) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(snapshot(dir), before) << c.name;
    }
}

TEST_F(Cli, RefusesAnOutputTooLargeForItsOffsetsBeforeReadingBlocks) {
    // A sparse file whose one block ends 15 bytes short of 4 GiB: aligned to 16 it
    // would put the index at 4 GiB, past what the header's offset can hold.
    putSparse("big.m3", 0xFFFFFFF1ull, 1);
    const RunResult r = run({"big.m3", "-c"});
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, NOT_M3 + "The converted file would be 4294967296 bytes up to its index, "
                              "too large for 32-bit offsets.\n");
    EXPECT_FALSE(fs::exists(path("big_Sc2.m3")));
}

#if defined(__SANITIZE_ADDRESS__)
#define SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SANITIZED 1
#endif
#endif

TEST_F(Cli, LyingIndexCountIsRefusedBeforeAnyAllocation) {
    POSIX_ONLY();
#ifdef SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    // Four billion entries claimed by a file of 40 bytes: sized by the claim, the index
    // alone would take 64 GiB.
    std::vector<uint8_t> file = workedInput();
    storeU32(file, 8, 0xFFFFFFFF);
    put("lying.m3", file);
    RunOptions options;
    options.memoryLimit = 256u << 20;
    const RunResult r = run({"lying.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, NOT_M3 + "The index at offset 72 ends at byte 68719476792, past the end of "
                              "the file at byte 148.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Cli, AnIndexTooLargeForMemoryIsReportedNotCrashedOn) {
    POSIX_ONLY();
#ifdef SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    // Ten million entries really in the file (sparse): 160 MiB of index where the
    // program may have 128 MiB of address space.
    putSparse("huge.m3", 32, 10000000);
    RunOptions options;
    options.memoryLimit = 128u << 20;
    const RunResult r = run({"huge.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot read \"huge.m3\": Cannot allocate memory\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(path("huge_Sc2.m3")));
}

struct IoCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
};

// Failures of the files around a conversion: one line naming the path and the reason,
// status -1, and the earlier output and log keep their bytes.
TEST_F(Cli, FileFailuresLeaveEarlierFilesWhole) {
    fs::create_directory(path("work"));
    fs::create_directory(path("locked"));
    fs::create_directory(path("input.m3"));
    fs::create_directory(path("dirout_Sc2.m3"));
    fs::create_directory(path("dir.x"));
    put("dir.x/unit", workedInput());
    put("unit.m3", workedInput());
    put("dirout.m3", workedInput());
    put("locked/unit.m3", workedInput());
    put("locked/unit_Sc2.m3", "earlier output");
    put("Logfile.txt", "earlier log");
    put("work/Logfile.txt", "earlier log in work");
    setMode(path("locked"), 0555);

    std::vector<IoCase> cases = {
        {"missing input",
         {"absent.m3", "-c"},
         "Cannot open \"absent.m3\": No such file or directory\n"},
        {"input is a directory",
         {"input.m3", "-c"},
         "Cannot open \"input.m3\": " + DIRECTORY_REASON + "\n"},
        {"output is a directory",
         {"dirout.m3", "-c"},
         "Cannot write \"dirout_Sc2.m3\": " + DIRECTORY_REASON + "\n"},
        {"output directory missing",
         {"dir.x/unit", "-c"},
         "Cannot create \"dir_Sc2.x/unit\": No such file or directory\n"},
    };
#ifndef _WIN32
    cases.push_back({"output directory locked",
                     {"locked/unit.m3", "-c"},
                     "Cannot create \"locked/unit_Sc2.m3\": Permission denied\n"});
#endif
    for (const IoCase& c : cases) {
        const auto before = snapshot(dir);
        RunOptions options;
        options.unprivileged = true;
        const RunResult r = run(c.args, options);
        EXPECT_EQ(r.status, failureStatus()) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(snapshot(dir), before) << c.name;
    }
}

TEST_F(Cli, UnwritableWorkingDirectoryFailsBeforeAnyFileChanges) {
    POSIX_ONLY();
    fs::create_directory(path("in"));
    fs::create_directory(path("cwd"));
    put("in/unit.m3", workedInput());
    put("in/unit_Sc2.m3", "earlier output");
    put("cwd/Logfile.txt", "earlier log");
    setMode(path("in"), 0777);
    setMode(path("cwd"), 0555);
    const auto before = snapshot(dir);
    RunOptions options;
    options.cwd = path("cwd");
    options.unprivileged = true;
    const RunResult r = run({"../in/unit.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot create \"Logfile.txt\": Permission denied\n");
    EXPECT_EQ(snapshot(dir), before);
}

TEST_F(Cli, UnreadableInputIsReported) {
    POSIX_ONLY();
    put("unit.m3", workedInput());
    setMode(path("unit.m3"), 0);
    RunOptions options;
    options.unprivileged = true;
    const RunResult r = run({"unit.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot open \"unit.m3\": Permission denied\n");
    EXPECT_FALSE(fs::exists(path("unit_Sc2.m3")));
}

TEST_F(Cli, FullDiskLeavesTheEarlierOutputWhole) {
    POSIX_ONLY();
    std::vector<BuildEntry> blocks = {headerEntry(24)};
    for (int i = 0; i < 40; ++i) {
        blocks.push_back(elementsEntry(TAG_MODL, 28, 8, 844, uint32_t(i)));
    }
    put("unit.m3", buildM3(blocks));
    put("unit_Sc2.m3", "earlier output");
    put("Logfile.txt", "earlier log");
    const auto before = snapshot(dir);
    RunOptions options;
    options.fileSizeLimit = 64 * 1024;
    const RunResult r = run({"unit.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot write \"unit_Sc2.m3\": File too large\n");
    EXPECT_EQ(snapshot(dir), before);
}

} // namespace

#ifdef _WIN32
namespace {

TEST_F(Cli, WildcardMatchingTwoFilesConvertsTheFirstAndPauses) {
    put("a.m3", workedInput());
    put("b.m3", workedInput());
    const RunResult r = run({"*.m3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 22), "Strings Found: \n\tabcd\n");
    EXPECT_NE(r.out.find(PAUSE_PROMPT), std::string::npos);
    EXPECT_TRUE(fs::exists(path("a_Sc2.m3")));
    EXPECT_FALSE(fs::exists(path("b_Sc2.m3")));
}

TEST_F(Cli, OutputHeldOpenByAnotherProgramIsLeftAlone) {
    put("unit.m3", workedInput());
    put("unit_Sc2.m3", "earlier output");
    const auto before = snapshot(dir);
    HANDLE held = CreateFileA(path("unit_Sc2.m3").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const RunResult r = run({"unit.m3", "-c"});
    CloseHandle(held);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot write \"unit_Sc2.m3\": Permission denied\n");
    EXPECT_EQ(snapshot(dir), before);
}

TEST_F(Cli, DriveLetterPathWithBackslashes) {
    ASSERT_EQ(dir[1], ':') << dir;
    put("unit.m3", workedInput());
    std::string input = dir + "\\unit.m3";
    for (char& c : input) {
        c = c == '/' ? '\\' : c;
    }
    const RunResult r = run({input, "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), convert(workedInput()).output);
}

} // namespace
#endif
