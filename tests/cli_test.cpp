#include "process.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <utility>

#ifdef _WIN32
#include "platform_windows.h"

#include <cstdio>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
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
#define POSIX_ONLY() GTEST_SKIP() << "file modes and size limits are POSIX features"
#else
const std::string PAUSE_PROMPT = "Press Enter to continue . . .\n";
bool isPausePrompt(const std::string& text) {
    return text == PAUSE_PROMPT;
}
#define POSIX_ONLY() (void)0
#endif

#ifndef _WIN32
// How many files a running program holds open in `folder` that are its temporaries:
// without a name yet, or named ".tarvelin-".
int temporariesOpen(int pid, const std::string& folder) {
    int count = 0;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(item.path(), error).string();
        count +=
            target.rfind(folder + "/", 0) == 0 && (target.find(" (deleted)") != std::string::npos ||
                                                   target.find("/.tarvelin-") != std::string::npos);
    }
    return count;
}

// Starts a conversion, stopped once it writes: both temporaries open in `folder`, every
// check behind it.
Started startStopped(const std::string& program, const std::vector<std::string>& args,
                     const std::string& folder, const RunOptions& options) {
    Started started = startProgram(program, args, options);
    for (int wait = 0; wait < 20000 && temporariesOpen(started.pid, folder) < 2; ++wait) {
        usleep(500);
    }
    kill(started.pid, SIGSTOP);
    return started;
}
#endif

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
    // only the header and the given first entries hold bytes (by default one header
    // block of 24 bytes).
    void putSparse(const std::string& name, uint64_t indexOffset, uint32_t count,
                   const std::vector<IndexEntry>& first = {{TAG_MD34, 0, 1, 0}}) const {
        std::vector<uint8_t> head = headerEntry(24).bytes;
        storeU32(head, 0, TAG_MD34);
        storeU32(head, 4, uint32_t(indexOffset));
        storeU32(head, 8, count);
        std::vector<uint8_t> entries(first.size() * 16, 0);
        for (size_t i = 0; i < first.size(); ++i) {
            storeU32(entries, i * 16, first[i].tag);
            storeU32(entries, i * 16 + 4, first[i].offset);
            storeU32(entries, i * 16 + 8, first[i].count);
            storeU32(entries, i * 16 + 12, first[i].version);
        }
        std::ofstream f(path(name), std::ios::binary);
        f.write(reinterpret_cast<const char*>(head.data()), 24);
        f.seekp(std::streamoff(indexOffset));
        f.write(reinterpret_cast<const char*>(entries.data()), std::streamsize(entries.size()));
        f.close();
        fs::resize_file(path(name), indexOffset + uint64_t(count) * 16);
    }
    // The names in the scratch directory, to show that no temporary is left.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& item : fs::directory_iterator(dir)) {
            found.push_back(item.path().filename().u8string());
        }
        std::sort(found.begin(), found.end());
        return found;
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
    const RunResult r = run({"unit.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Strings Found: \n\tabcd\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), workedOutput());
    EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))), asTextFile(WORKED_LOG));
    EXPECT_EQ(snapshot(dir).size(), 3u) << "no temporary file is left behind";
}

// The text of the code block that follows `heading` in `document`.
std::string blockAfter(const std::string& document, const std::string& heading) {
    const size_t start = document.find("```\n", document.find(heading)) + 4;
    return document.substr(start, document.find("```", start) - start);
}

// What the README shows of the bundled example is what the program prints and logs.
TEST_F(Cli, TheReadmesExampleIsWhatTheProgramGives) {
    const std::string readme = text(readFileBytes(TARVELIN_SOURCE_DIR "/README.md"));
    put("example.m3", readFileBytes(TARVELIN_SOURCE_DIR "/examples/example.m3"));
    const RunResult r = run({"example.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, blockAfter(readme, "On the bundled example the console shows"));
    const std::string logStart = asTextFile(blockAfter(readme, "and `Logfile.txt` begins"));
    EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))).substr(0, logStart.size()), logStart);
}

TEST_F(Cli, ArgumentsDecideUsageConversionAndPause) {
    const std::string usage = "Drag an m3 file to this tool.\n"
                              "or do Tarvelin <filename> -c.\n";
    const std::string converted = "Strings Found: \n\tabcd\n";
    const std::string notSecond =
        "\"other.m3\" was not converted: Tarvelin converts one file at a time.\n";
    const struct {
        std::vector<std::string> args;
        bool converts;
        bool pauses;
        std::string out;
        int status;
    } cases[] = {
        {{}, false, true, usage, 0},
        // Too many arguments fail; with "-c" among them nothing waits.
        {{"unit.m3", "-c", "more"}, false, false, usage, failureStatus()},
        {{"-c", "unit.m3", "other.m3"}, false, false, usage, failureStatus()},
        {{"unit.m3", "other.m3", "third.m3"}, false, true, usage, failureStatus()},
        {{"unit.m3"}, true, true, converted, 0},
        {{"unit.m3", "-c"}, true, false, converted, 0},
        {{"unit.m3", "-C"}, true, true, converted, 0},
        {{"unit.m3", "-cc"}, true, true, converted, 0},
        {{"unit.m3", "--c"}, true, true, converted, 0},
        {{"unit.m3", "-c "}, true, true, converted, 0},
        {{"unit.m3", "anything"}, true, true, converted, 0},
        // Two files dropped: the first converts, the second is named as not converted.
        {{"unit.m3", "other.m3"}, true, true, converted + notSecond, failureStatus()},
    };
    put("other.m3", workedInput());
    for (const auto& c : cases) {
        put("unit.m3", workedInput());
        fs::remove(path("unit_Sc2.m3"));
        const RunResult r = run(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.err, "") << shown;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << shown;
        const std::string after = r.out.substr(std::min(c.out.size(), r.out.size()));
        if (c.pauses) {
            EXPECT_TRUE(isPausePrompt(after)) << shown << ": " << after;
        } else {
            EXPECT_EQ(after, "") << shown;
        }
        EXPECT_EQ(fs::exists(path("unit_Sc2.m3")), c.converts) << shown;
        EXPECT_FALSE(fs::exists(path("other_Sc2.m3"))) << shown;
    }
}

// A plumbing check: the file path writes what the conversion in memory gives.
TEST_F(Cli, PlumbingLargeBlocksGoStraightToTheFileAsInMemory) {
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
    EXPECT_EQ(readFileBytes(path(name + "_Sc2.m3")), workedOutput());
}

TEST_F(Cli, ReplacesAnEarlierOutputAndLog) {
    put("unit.m3", workedInput());
    put("unit_Sc2.m3",
        std::string("old output, much longer than the new one will be") + std::string(500, 'o'));
    put("Logfile.txt", std::string(400, 'L'));
    const RunResult r = run({"unit.m3", "-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), workedOutput());
    EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))), asTextFile(WORKED_LOG));
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

// A refused input changes nothing. Without "-c" a wrong magic ends the run at once,
// and every other refusal waits after its message, as a finished run does.
TEST_F(Cli, RejectedInputsTouchNoFile) {
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
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.name;
        const std::string after = r.out.substr(std::min(c.out.size(), r.out.size()));
        if (c.out == NOT_M3) {
            EXPECT_EQ(after, "") << c.name;
        } else {
            EXPECT_TRUE(isPausePrompt(after)) << c.name << ": " << after;
        }
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(snapshot(dir), before) << c.name;
    }
}

TEST_F(Cli, FailuresPauseUnlessTheRunIsScripted) {
    const std::string message = "Cannot open \"absent.m3\": No such file or directory\n";
    const RunResult dropped = run({"absent.m3"});
    EXPECT_EQ(dropped.status, failureStatus());
    EXPECT_EQ(dropped.out.substr(0, message.size()), message);
    EXPECT_TRUE(isPausePrompt(dropped.out.substr(std::min(message.size(), dropped.out.size()))))
        << dropped.out;
    const RunResult scripted = run({"absent.m3", "-c"});
    EXPECT_EQ(scripted.status, failureStatus());
    EXPECT_EQ(scripted.out, message);
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

// An index that lies about its size is refused without reading or sizing anything by
// its claim: a count far beyond the file, and an index of 4 GiB (a sparse file) whose
// first entries are already wrong. A large model is read a piece at a time, so it
// converts in little memory too.
TEST_F(Cli, InputsOfAnySizeTakeLittleMemory) {
    POSIX_ONLY();
#ifdef SANITIZED
    GTEST_SKIP() << "the sanitizers' own memory would hide the program's";
#endif
    std::vector<uint8_t> lying = workedInput();
    storeU32(lying, 8, 0xFFFFFFFF);
    put("lying.m3", lying);
    putSparse("sparse.m3", 32, 1u << 28);
    putSparse("large.m3", 32 + (uint64_t(128) << 20), 2,
              {{TAG_MD34, 0, 1, 0}, {makeTag('V', 'E', 'R', 'T'), 32, 1, 0}});
    const struct {
        const char* file;
        std::string out;
    } cases[] = {
        {"lying.m3", NOT_M3 + "The index at offset 72 ends at byte 68719476792, past the end of "
                              "the file at byte 148.\n"},
        {"sparse.m3",
         NOT_M3 + "Index entry 0 (MD34) is 0 bytes long, shorter than the 24-byte header.\n"},
        {"large.m3", "Strings Found: \n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run({c.file, "-c"});
        EXPECT_EQ(r.out, c.out) << c.file;
        EXPECT_EQ(r.status, c.out == "Strings Found: \n" ? 0 : failureStatus()) << c.file;
        EXPECT_LT(r.peakKiB, 32 * 1024) << c.file;
    }
}

TEST_F(Cli, AnIndexTooLargeForMemoryIsReportedNotCrashedOn) {
    POSIX_ONLY();
#ifdef SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
#ifdef TARVELIN_EMULATOR
    GTEST_SKIP() << "the emulator lays out the program's memory itself";
#endif
    // Six million sound entries, 96 MiB of index, where the program may have 64 MiB of
    // address space: a header block, then empty blocks that all start after it.
    constexpr uint32_t COUNT = 6000000;
    putSparse("huge.m3", 32, COUNT, {{TAG_MD34, 0, 1, 0}});
    std::vector<uint8_t> entries(16 * 65536, 0);
    for (size_t at = 0; at < entries.size(); at += 16) {
        storeU32(entries, at + 4, 24);
    }
    std::fstream f(path("huge.m3"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(32 + 16);
    for (uint32_t written = 1; written < COUNT; written += 65536) {
        const uint32_t n = std::min<uint32_t>(65536, COUNT - written);
        f.write(reinterpret_cast<const char*>(entries.data()), std::streamsize(n) * 16);
    }
    f.close();
    RunOptions options;
    options.memoryLimit = 64u << 20;
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
    std::string cwd = ".";
};

// Failures of the files around a conversion: one line naming the path and the reason,
// status -1, and nothing in the directory changes: not the input, not the earlier
// output, not the earlier log.
TEST_F(Cli, FileFailuresLeaveEarlierFilesWhole) {
    for (const char* sub : {"work", "locked", "input.m3", "dirout_Sc2.m3", "dir.x", "logdir",
                            "logdir/Logfile.txt", "self"}) {
        fs::create_directory(path(sub));
    }
    put("dir.x/unit", workedInput());
    put("unit.m3", workedInput());
    put("dirout.m3", workedInput());
    put("locked/unit.m3", workedInput());
    put("locked/unit_Sc2.m3", "earlier output");
    put("Logfile.txt", "earlier log");
    put("work/Logfile.txt", "earlier log in work");
    put("logdir/unit.m3", workedInput());
    put("logdir/unit_Sc2.m3", "earlier output");
    put("self/Logfile.txt", workedInput());
    // Earlier outputs the unprivileged run may write, so that each case meets its own
    // failure rather than a write-protected target.
    for (const char* earlier : {"locked/unit_Sc2.m3", "logdir/unit_Sc2.m3", "Logfile.txt"}) {
        setMode(path(earlier), 0666);
    }
    setMode(path("locked"), 0555);
    setMode(path("logdir"), 0777);
    setMode(path("self"), 0777);

    std::vector<IoCase> cases = {
        {"missing input",
         {"absent.m3", "-c"},
         "Cannot open \"absent.m3\": No such file or directory\n"},
        {"input is a directory", {"input.m3", "-c"}, "Cannot open \"input.m3\": Is a directory\n"},
        {"output is a directory",
         {"dirout.m3", "-c"},
         "Cannot write \"dirout_Sc2.m3\": Is a directory\n"},
        {"output directory missing",
         {"dir.x/unit", "-c"},
         "Cannot create \"dir_Sc2.x/unit\": No such file or directory\n"},
        {"log is a directory",
         {"unit.m3", "-c"},
         "Cannot write \"Logfile.txt\": Is a directory\n",
         "logdir"},
        {"input is its own log",
         {"./Logfile.txt", "-c"},
         "Cannot write \"Logfile.txt\": it is the input file\n",
         "self"},
    };
#ifndef _WIN32
    put("linked.m3", workedInput());
    fs::create_symlink("linked.m3", path("linked_Sc2.m3"));
    put("hard.m3", workedInput());
    fs::create_hard_link(path("hard.m3"), path("hard_Sc2.m3"));
    ASSERT_EQ(mkfifo(path("pipe.m3").c_str(), 0666), 0);
    cases.push_back({"output directory locked",
                     {"locked/unit.m3", "-c"},
                     "Cannot create \"locked/unit_Sc2.m3\": Permission denied\n"});
    cases.push_back({"output is a link to the input",
                     {"linked.m3", "-c"},
                     "Cannot write \"linked_Sc2.m3\": it is the input file\n"});
    cases.push_back({"output is a hard link to the input",
                     {"hard.m3", "-c"},
                     "Cannot write \"hard_Sc2.m3\": it is the input file\n"});
    cases.push_back(
        {"input is a pipe", {"pipe.m3", "-c"}, "Cannot open \"pipe.m3\": Not a regular file\n"});
    // A target that must not be replaced is refused before anything is written. Each
    // case has a folder of its own: an input, an earlier output the user may write, an
    // earlier log.
    const auto scene = [&](const std::string& sub, const std::string& stem) {
        fs::create_directories(path(sub));
        setMode(path(sub), 0777);
        put(sub + "/" + stem + ".m3", workedInput());
        put(sub + "/Logfile.txt", "earlier log");
        setMode(path(sub + "/Logfile.txt"), 0666);
        if (stem.size() < 200) {
            put(sub + "/" + stem + "_Sc2.m3", "earlier output");
            setMode(path(sub + "/" + stem + "_Sc2.m3"), 0666);
        }
    };
    const std::string longStem(249, 'a');
    scene("long", longStem);
    cases.push_back({"output name too long",
                     {longStem + ".m3", "-c"},
                     "Cannot write \"" + longStem + "_Sc2.m3\": File name too long\n",
                     "long"});
    scene("ro", "unit");
    setMode(path("ro/unit_Sc2.m3"), 0444);
    cases.push_back({"write-protected output",
                     {"unit.m3", "-c"},
                     "Cannot write \"unit_Sc2.m3\": Permission denied\n",
                     "ro"});
    scene("rolog", "unit");
    setMode(path("rolog/Logfile.txt"), 0444);
    cases.push_back({"write-protected log",
                     {"unit.m3", "-c"},
                     "Cannot write \"Logfile.txt\": Permission denied\n",
                     "rolog"});
    scene("loglink", "unit");
    fs::remove(path("loglink/Logfile.txt"));
    fs::create_symlink("unit_Sc2.m3", path("loglink/Logfile.txt"));
    scene("outlink", "unit");
    fs::remove(path("outlink/unit_Sc2.m3"));
    fs::create_symlink("Logfile.txt", path("outlink/unit_Sc2.m3"));
    for (const char* sub : {"loglink", "outlink"}) {
        cases.push_back({"log and output one file",
                         {"unit.m3", "-c"},
                         "Cannot write \"Logfile.txt\": it is the output file\n",
                         sub});
    }
#endif
    for (const IoCase& c : cases) {
        const auto before = snapshot(dir);
        RunOptions options;
        options.unprivileged = true;
        options.cwd = path(c.cwd);
        // A program that waits on a pipe is ended by the alarm and fails the case.
        options.seconds = 10;
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
    setMode(path("in/unit_Sc2.m3"), 0666);
    setMode(path("cwd/Logfile.txt"), 0666);
    setMode(path("in"), 0777);
    setMode(path("cwd"), 0555);
    const auto before = snapshot(dir);
    RunOptions options;
    options.cwd = path("cwd");
    options.unprivileged = true;
    const RunResult r = run({"../in/unit.m3", "-c"}, options);
    EXPECT_EQ(r.status, failureStatus());
    EXPECT_EQ(r.out, "Cannot create \"" + fs::canonical(path("cwd")).u8string() +
                         "/Logfile.txt\": Permission denied\n");
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

// A write past the file-size limit fails as on a full disk, or, where the file-size
// signal keeps its default action, ends the program by that signal. Either way the
// directory is as it was.
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
    for (const bool signalled : {false, true}) {
        RunOptions options;
        options.fileSizeLimit = 64 * 1024;
        options.fileSizeSignal = signalled;
        const RunResult r = run({"unit.m3", "-c"}, options);
        if (signalled) {
#ifndef _WIN32
            EXPECT_EQ(r.signal, SIGXFSZ);
#endif
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.status, failureStatus());
            EXPECT_EQ(r.out, "Cannot write \"unit_Sc2.m3\": File too large\n");
        }
        EXPECT_EQ(snapshot(dir), before) << "signalled " << signalled;
    }
}

TEST_F(Cli, TheLongestNamesConvert) {
    // 250 bytes, so that the output's name takes 254 of the 255 a name may have.
    const std::string stem(247, 'm');
    put(stem + ".m3", workedInput());
    const RunResult r = run({stem + ".m3", "-c"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFileBytes(path(stem + "_Sc2.m3")), workedOutput());
    EXPECT_EQ(names().size(), 3u);
}

#ifndef _WIN32
TEST_F(Cli, ReplacingWritesThroughLinksAndKeepsModes) {
    fs::create_directory(path("real"));
    put("unit.m3", workedInput());
    put("real/out.m3", "earlier output");
    setMode(path("real/out.m3"), 0640);
    fs::create_symlink("real/out.m3", path("unit_Sc2.m3"));
    // A link to a log not yet there is made real, as opening it for writing would.
    fs::create_symlink("real/log.txt", path("Logfile.txt"));
    put("plain.m3", workedInput());
    put("plain_Sc2.m3", "earlier output");
    setMode(path("plain_Sc2.m3"), 0751);

    EXPECT_EQ(run({"unit.m3", "-c"}).status, 0);
    EXPECT_EQ(run({"plain.m3", "-c"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(path("unit_Sc2.m3")));
    EXPECT_TRUE(fs::is_symlink(path("Logfile.txt")));
    EXPECT_EQ(readFileBytes(path("real/out.m3")), workedOutput());
    EXPECT_EQ(text(readFileBytes(path("real/log.txt"))), WORKED_LOG);
    EXPECT_EQ(readFileBytes(path("plain_Sc2.m3")), workedOutput());
    EXPECT_EQ(fs::status(path("real/out.m3")).permissions(), fs::perms(0640));
    EXPECT_EQ(fs::status(path("plain_Sc2.m3")).permissions(), fs::perms(0751));
    EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "plain.m3", "plain_Sc2.m3", "real",
                                                 "unit.m3", "unit_Sc2.m3"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(path("real")), fs::directory_iterator()), 2);
}

// A user replacing their own set-group-ID output keeps the bit, which the writes of a
// user clear.
TEST_F(Cli, AUsersSetGroupIdOutputKeepsTheBit) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the test gives the files to another user";
    }
    put("unit.m3", workedInput());
    put("unit_Sc2.m3", "earlier output");
    ASSERT_EQ(chown(path("unit_Sc2.m3").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path("unit_Sc2.m3").c_str(), 02775), 0);
    RunOptions options;
    options.unprivileged = true;
    EXPECT_EQ(run({"unit.m3", "-c"}, options).status, 0);
    EXPECT_EQ(fs::status(path("unit_Sc2.m3")).permissions(), fs::perms(02775));
}

// Run as root on a user's files, a replaced file stays the user's, with its group,
// set-group-ID bit and access list.
TEST_F(Cli, ReplacingKeepsOwnerGroupAndAccessList) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    // user::rw-, user:1234:r--, group::r--, mask::r--, other::---
    const std::vector<uint8_t> acl = {2,   0,   0,   0,    1,   0,    6,    0,   255, 255, 255,
                                      255, 2,   0,   4,    0,   0xD2, 4,    0,   0,   4,   0,
                                      4,   0,   255, 255,  255, 255,  0x10, 0,   4,   0,   255,
                                      255, 255, 255, 0x20, 0,   0,    0,    255, 255, 255, 255};
    put("unit.m3", workedInput());
    for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
        put(name, "the user's earlier file");
        ASSERT_EQ(chown(path(name).c_str(), 1000, 1000), 0);
        ASSERT_EQ(chmod(path(name).c_str(), 02640), 0);
        ASSERT_EQ(
            setxattr(path(name).c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    }
    EXPECT_EQ(run({"unit.m3", "-c"}).status, 0);
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), workedOutput());
    for (const char* name : {"unit_Sc2.m3", "Logfile.txt"}) {
        struct stat info = {};
        ASSERT_EQ(stat(path(name).c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 1000u) << name;
        EXPECT_EQ(info.st_gid, 1000u) << name;
        EXPECT_EQ(info.st_mode & 07777, 02640u) << name;
        std::vector<uint8_t> value(256);
        const ssize_t aclSize =
            getxattr(path(name).c_str(), "system.posix_acl_access", value.data(), value.size());
        value.resize(size_t(std::max<ssize_t>(aclSize, 0)));
        EXPECT_EQ(value, acl) << name;
    }
}

// Interrupted while it converts, by any signal that ends a process, a run ends by that
// signal and leaves the earlier output and log and no temporary, whether its
// temporaries have no name or are named from the start (which only SIGKILL leaves).
// The signal is sent while the run is stopped with both temporaries open, so it lands
// while the run writes; the fault test raises one at every call of putting the files
// in place.
TEST_F(Cli, AnInterruptedRunEndsByItsSignalAndLeavesTheEarlierPair) {
    const uint32_t VERT = makeTag('V', 'E', 'R', 'T');
    putSparse("big.m3", 32 + (uint64_t(64) << 20), 2, {{TAG_MD34, 0, 1, 0}, {VERT, 32, 1, 0}});
    for (const bool named : {false, true}) {
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGRTMIN + 3, SIGKILL}) {
            put("big_Sc2.m3", "earlier output");
            put("Logfile.txt", "earlier log");
            setenv("TARVELIN_FAULT_ALWAYS", named ? "open_unnamed:95" : "", 1);
            RunOptions options;
            options.cwd = dir;
            Started started = startStopped(TARVELIN_FAULTS_EXE, {"big.m3", "-c"}, dir, options);
            unsetenv("TARVELIN_FAULT_ALWAYS");
            kill(started.pid, sig);
            kill(started.pid, SIGCONT);
            const RunResult r = waitProgram(started);
            const std::string when = std::to_string(sig) + (named ? ", named" : "");
            EXPECT_EQ(r.signal, sig) << when;
            EXPECT_EQ(text(readFileBytes(path("big_Sc2.m3"))), "earlier output") << when;
            EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))), "earlier log") << when;
            size_t left = 0;
            for (const std::string& name : names()) {
                if (name.rfind(".tarvelin-", 0) == 0) {
                    fs::remove(path(name));
                    ++left;
                }
            }
            EXPECT_EQ(left, named && sig == SIGKILL ? 2u : 0u) << when;
            EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "big.m3", "big_Sc2.m3"}))
                << when;
        }
    }
}

// What changes while a run converts cannot give a file of two versions or one of
// each: the run is stopped halfway, the change made, and the run let go on. An input
// written to is refused at the end, or where it was cut short, as it is read; where the
// run holds a lease on it, the writer's open is refused instead and the run sees it all
// the same. An output that can no longer be replaced leaves the earlier pair; a log that
// can no longer be replaced leaves the converted model beside the earlier log, and says
// so.
TEST_F(Cli, ChangesDuringTheRunLeaveTheEarlierPairOrNameTheLog) {
    const uint32_t VERT = makeTag('V', 'E', 'R', 'T');
    putSparse("big.m3", 32 + (uint64_t(64) << 20), 2, {{TAG_MD34, 0, 1, 0}, {VERT, 32, 1, 0}});
    const std::string changed =
        "Cannot read \"big.m3\": the file changed or failed while it was being read\n";
    const struct {
        const char* name;
        void (*change)(const std::string& dir);
        std::string out;
        bool converted = false;
        // Run as another user, who may hold no lease on the input: the change is made.
        bool unprivileged = false;
    } cases[] = {
        {"input written in place",
         [](const std::string& d) {
             const int fd = open((d + "/big.m3").c_str(), O_WRONLY | O_NONBLOCK);
             EXPECT_TRUE(fd >= 0 ? pwrite(fd, "changed", 7, 1000) == 7 : errno == EWOULDBLOCK);
             close(fd);
         },
         changed + PAUSE_PROMPT},
        {"input cut short",
         [](const std::string& d) {
             const int fd = open((d + "/big.m3").c_str(), O_WRONLY | O_NONBLOCK);
             EXPECT_TRUE(fd >= 0 ? ftruncate(fd, 1000) == 0 : errno == EWOULDBLOCK);
             close(fd);
         },
         changed + PAUSE_PROMPT, false, true},
        {"output turned into a folder",
         [](const std::string& d) {
             fs::remove(d + "/big_Sc2.m3");
             fs::create_directories(d + "/big_Sc2.m3/held");
         },
         "Cannot write \"big_Sc2.m3\": Is a directory\n" + PAUSE_PROMPT},
        {"log turned into a folder",
         [](const std::string& d) {
             fs::remove(d + "/Logfile.txt");
             fs::create_directories(d + "/Logfile.txt/held");
         },
         "The model was converted, but \"Logfile.txt\" could not be put in place: Is a "
         "directory\n" +
             PAUSE_PROMPT,
         true},
    };
    for (const auto& c : cases) {
        fs::remove_all(path("big_Sc2.m3"));
        fs::remove_all(path("Logfile.txt"));
        put("big_Sc2.m3", "earlier output");
        put("Logfile.txt", "earlier log");
        setMode(path("big_Sc2.m3"), 0666);
        setMode(path("Logfile.txt"), 0666);
        RunOptions options;
        options.cwd = dir;
        options.unprivileged = c.unprivileged;
        Started started = startStopped(TARVELIN_EXE, {"big.m3"}, dir, options);
        c.change(dir);
        kill(started.pid, SIGCONT);
        const RunResult r = waitProgram(started);
        EXPECT_EQ(r.status, failureStatus()) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        const bool converted =
            fs::is_regular_file(path("big_Sc2.m3")) && fs::file_size(path("big_Sc2.m3")) > 1000;
        EXPECT_EQ(converted, c.converted) << c.name;
        EXPECT_EQ(fs::is_directory(path("Logfile.txt")) ||
                      text(readFileBytes(path("Logfile.txt"))) == "earlier log",
                  true)
            << c.name;
        EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "big.m3", "big_Sc2.m3"}))
            << c.name;
        putSparse("big.m3", 32 + (uint64_t(64) << 20), 2, {{TAG_MD34, 0, 1, 0}, {VERT, 32, 1, 0}});
    }
}

// Nothing holds the input once it is read: a program that opens it for writing (a
// modelling program saving it again) while the run waits at its pause, or while its
// report is still unread, gets it at once. Opened without blocking, a held lease would
// refuse it (EWOULDBLOCK) instead of making it wait.
TEST_F(Cli, NothingHoldsTheInputOnceTheFilesAreInPlace) {
    const std::string longText(1 << 20, 's');
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> args;
    } cases[] = {
        {"at the pause", "abcd", {"unit.m3"}},
        {"report unread, larger than the pipe", longText, {"unit.m3", "-c"}},
    };
    for (const auto& c : cases) {
        fs::remove(path("unit_Sc2.m3"));
        fs::remove(path("Logfile.txt"));
        put("unit.m3", buildM3({headerEntry(24), charEntry(c.text)}));
        RunOptions options;
        options.cwd = dir;
        options.holdStdin = true;
        Started started = startProgram(TARVELIN_EXE, c.args, options);
        // The log goes in place after the output.
        for (int wait = 0; wait < 20000 && !fs::exists(path("Logfile.txt")); ++wait) {
            usleep(500);
        }
        ASSERT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "unit.m3", "unit_Sc2.m3"}))
            << c.name;
        const int writer = open(path("unit.m3").c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_GE(writer, 0) << c.name << ": " << std::strerror(errno);
        close(writer);
        const RunResult r = waitProgram(started);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out.rfind("Strings Found: \n\t" + c.text + "\n", 0), 0u) << c.name;
    }
}

// A report that cannot be printed fails the run (status -1), whether standard output
// is full, closed or a pipe nobody reads; the files are converted all the same.
TEST_F(Cli, AReportThatCannotBePrintedFailsTheRun) {
    put("unit.m3", workedInput());
    RunOptions full;
    full.stdoutPath = "/dev/full";
    RunOptions closed;
    closed.stdoutClosed = true;
    RunOptions broken;
    broken.stdoutBroken = true;
    for (const RunOptions& options : {full, closed, broken}) {
        fs::remove(path("unit_Sc2.m3"));
        const RunResult r = run({"unit.m3", "-c"}, options);
        EXPECT_EQ(r.status, failureStatus()) << options.stdoutPath << options.stdoutClosed;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), workedOutput());
        EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "unit.m3", "unit_Sc2.m3"}));
    }
}

// Files are made, renamed and removed relative to their folder, so a folder whose path
// leaves no room for the temporary's name, or for the output's, converts. An input
// past the longest path one call takes is refused as the system refuses it.
TEST_F(Cli, PathsAsLongAsTheSystemAllowsConvert) {
    const std::vector<uint8_t> input = workedInput();
    for (const size_t folderLength : {4080u, 4088u, 4200u}) {
        // Made a name at a time from the scratch folder, as the whole path is too long
        // for one call from /tmp.
        std::string folder;
        int at = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        while (at >= 0 && folder.size() < folderLength) {
            const size_t room = folderLength - folder.size() - (folder.empty() ? 0 : 1);
            const std::string name(std::min<size_t>(room, 200), 'd');
            folder += (folder.empty() ? "" : "/") + name;
            mkdirat(at, name.c_str(), 0777);
            const int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
            close(at);
            at = next;
        }
        ASSERT_GE(at, 0);
        const int in = openat(at, "a.m3", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(write(in, input.data(), input.size()), ssize_t(input.size()));
        close(in);
        const RunResult r = run({folder + "/a.m3", "-c"});
        const bool fits = folderLength + 5 < 4096;
        EXPECT_EQ(r.status, fits ? 0 : failureStatus()) << folderLength << ": " << r.out;
        if (!fits) {
            EXPECT_EQ(r.out, "Cannot open \"" + folder + "/a.m3\": File name too long\n");
        }
        std::vector<uint8_t> written(input.size() * 2);
        const int out = openat(at, "a_Sc2.m3", O_RDONLY);
        written.resize(size_t(std::max<ssize_t>(read(out, written.data(), written.size()), 0)));
        EXPECT_EQ(written, fits ? workedOutput() : std::vector<uint8_t>()) << folderLength;
        close(out);
        close(at);
        ASSERT_EQ(std::system(("rm -rf " + path(std::string(200, 'd'))).c_str()), 0);
    }
}

// A same-size rewrite that keeps the modification time (as `cp -p` and rsync do), on a
// file system whose timestamps are whole seconds, is seen: the writer breaks the run's
// lease on the input, and the run refuses its output.
TEST_F(Cli, AWriterOfTheInputIsSeenWhateverItsTimestamps) {
    if (geteuid() != 0 ||
        std::system(("cd " + dir + " && truncate -s 128M img && mkfs.ext4 -q -I 128 -F img " +
                     "2>/dev/null && mkdir m && mount -o loop img m")
                        .c_str()) != 0) {
        GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device";
    }
    const std::string m = path("m");
    const uint32_t VERT = makeTag('V', 'E', 'R', 'T');
    putSparse("m/big.m3", 32 + (uint64_t(64) << 20), 2, {{TAG_MD34, 0, 1, 0}, {VERT, 32, 1, 0}});
    put("m/big_Sc2.m3", "earlier output");
    put("m/Logfile.txt", "earlier log");
    struct stat before = {};
    ASSERT_EQ(stat((m + "/big.m3").c_str(), &before), 0);
    RunOptions options;
    options.cwd = m;
    Started started = startStopped(TARVELIN_EXE, {"big.m3", "-c"}, m, options);
    const int writer = open((m + "/big.m3").c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
        EXPECT_EQ(pwrite(writer, "changed", 7, 1000), 7);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        futimens(writer, times);
        close(writer);
    }
    kill(started.pid, SIGCONT);
    const RunResult r = waitProgram(started);
    EXPECT_EQ(r.out,
              "Cannot read \"big.m3\": the file changed or failed while it was being read\n");
    EXPECT_TRUE(text(readFileBytes(m + "/big_Sc2.m3")) == "earlier output");
    EXPECT_EQ(umount(m.c_str()), 0);
}

// The manual's loop over a folder of models, run twice, converts each model once.
TEST_F(Cli, TheManualsLoopConvertsEachModelOnce) {
#ifdef TARVELIN_EMULATOR
    GTEST_SKIP() << "the shell cannot start the program without its emulator";
#endif
    const std::string manual = text(readFileBytes(TARVELIN_SOURCE_DIR "/man/Tarvelin.1.in"));
    const size_t start = manual.find("\\fBfor f in") + 3;
    std::string loop = manual.substr(start, manual.find("\\fP", start) - start);
    for (size_t dash; (dash = loop.find("\\-")) != std::string::npos;) {
        loop.erase(dash, 1);
    }
    fs::create_directories(path("models"));
    fs::create_directories(path("bin"));
    fs::create_symlink(TARVELIN_EXE, path("bin/Tarvelin"));
    put("models/a.m3", workedInput());
    put("models/b.m3", workedInput());
    for (int round = 0; round < 2; ++round) {
        const std::string command =
            "cd " + dir + " && PATH=" + dir + "/bin:$PATH sh -c '" + loop + "' >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << loop;
    }
    std::vector<std::string> models;
    for (const auto& item : fs::directory_iterator(path("models"))) {
        models.push_back(item.path().filename().string());
    }
    std::sort(models.begin(), models.end());
    EXPECT_EQ(models, (std::vector<std::string>{"a.m3", "a_Sc2.m3", "b.m3", "b_Sc2.m3"}));
}

#endif

} // namespace

#ifdef _WIN32
namespace {

// The runtime expands wildcards: with two matches the first converts and the second
// is named as not converted; a pattern that matches nothing is said to.
TEST_F(Cli, WildcardsConvertTheFirstMatchAndNameTheRest) {
    put("a.m3", workedInput());
    put("b.m3", workedInput());
    const RunResult r = run({"*.m3"});
    EXPECT_EQ(r.status, failureStatus());
    const std::string out = "Strings Found: \n\tabcd\n\"b.m3\" was not converted: Tarvelin "
                            "converts one file at a time.\n";
    EXPECT_EQ(r.out.substr(0, out.size()), out);
    EXPECT_NE(r.out.find(PAUSE_PROMPT), std::string::npos);
    EXPECT_TRUE(fs::exists(path("a_Sc2.m3")));
    EXPECT_FALSE(fs::exists(path("b_Sc2.m3")));
    const RunResult none = run({"*.x3", "-c"});
    EXPECT_EQ(none.status, failureStatus());
    EXPECT_EQ(none.out, "Cannot open \"*.x3\": no file matches it\n");
}

// Another program holding the output open, sharing its deletion or not (so that the
// run meets the hold at its rename or already at its check), is waited out for a while:
// the run converts once the holder lets go, or fails with the earlier pair and says the
// file is open in another program; either way no temporary is left.
TEST_F(Cli, AHeldOutputIsWaitedForAndNeverLeavesAMix) {
    put("unit.m3", workedInput());
    const DWORD everything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const struct {
        DWORD holdMs;
        DWORD share;
    } holds[] = {{300, everything}, {5000, everything}, {300, 0}, {5000, 0}};
    for (const auto& hold : holds) {
        put("unit_Sc2.m3", "earlier output");
        put("Logfile.txt", "earlier log");
        HANDLE held = CreateFileA(path("unit_Sc2.m3").c_str(), GENERIC_READ, hold.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread releaser([&] {
            Sleep(hold.holdMs);
            CloseHandle(held);
        });
        const RunResult r = run({"unit.m3", "-c"});
        releaser.join();
        const std::string when = std::to_string(hold.holdMs) + " ms, sharing " +
                                 std::to_string(hold.share) + ": " + r.out;
        const bool converted = r.status == 0;
        EXPECT_EQ(converted, hold.holdMs < 1000) << when;
        if (!converted) {
            EXPECT_EQ(r.out.rfind("Cannot write \"unit_Sc2.m3\": ", 0), 0u) << when;
        }
        if (hold.share == 0 && !converted) {
            EXPECT_EQ(r.out, "Cannot write \"unit_Sc2.m3\": The file is open in another program\n");
        }
        EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")) == workedOutput(), converted) << when;
        EXPECT_EQ(text(readFileBytes(path("Logfile.txt"))),
                  converted ? asTextFile(WORKED_LOG) : "earlier log")
            << when;
        EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "unit.m3", "unit_Sc2.m3"}));
    }
}

// The input is read with no other program writing to it: one that holds it open for
// writing throughout (an exporter not done) is waited for, then named; one that would
// cut it short while it is read cannot. Neither ever crashes the run.
TEST_F(Cli, AnInputAnotherProgramWritesIsNotRead) {
    put("unit.m3", workedInput());
    HANDLE writer =
        CreateFileA(path("unit.m3").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const RunResult held = run({"unit.m3", "-c"});
    CloseHandle(writer);
    EXPECT_EQ(held.out, "Cannot open \"unit.m3\": The file is open in another program\n");
    EXPECT_FALSE(fs::exists(path("unit_Sc2.m3")));

    std::vector<uint8_t> big = headerEntry(32).bytes;
    storeU32(big, 0, TAG_MD34);
    storeU32(big, 4, uint32_t(32 + (256u << 20)));
    storeU32(big, 8, 2);
    big.resize(32 + (256u << 20));
    appendEntry(big, TAG_MD34, 0, 1, 0);
    appendEntry(big, makeTag('V', 'E', 'R', 'T'), 32, 1, 0);
    put("big.m3", big);
    RunResult cut;
    std::thread runner([&] { cut = run({"big.m3", "-c"}); });
    for (int wait = 0; wait < 20000 && names().size() < 4; ++wait) {
        Sleep(1);
    }
    HANDLE cutter = CreateFileA(path("big.m3").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (cutter != INVALID_HANDLE_VALUE) {
        SetFilePointer(cutter, 1000, nullptr, FILE_BEGIN);
        SetEndOfFile(cutter);
        CloseHandle(cutter);
    }
    runner.join();
    EXPECT_TRUE(cut.status == 0 || cut.out.rfind("Cannot read \"big.m3\": ", 0) == 0)
        << cut.status << ": " << cut.out;
}

// A program that opens every new file it sees to look at it (an indexer, a scanner),
// sharing reading and writing but not deletion, cannot keep any file of the run's: the
// run converts and leaves nothing once that program lets go.
TEST_F(Cli, AScannerOfNewFilesCannotKeepTheRunsFiles) {
    put("unit.m3", workedInput());
    put("unit_Sc2.m3", "earlier output");
    put("Logfile.txt", "earlier log");
    std::atomic<bool> running{true};
    std::thread scanner([&] {
        std::vector<HANDLE> held;
        while (running) {
            for (const auto& item : fs::directory_iterator(dir)) {
                if (item.path().filename().u8string().rfind(".tarvelin-", 0) == 0) {
                    HANDLE h = CreateFileW(item.path().wstring().c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                    if (h != INVALID_HANDLE_VALUE) {
                        held.push_back(h);
                    }
                }
            }
        }
        Sleep(3000);
        for (HANDLE h : held) {
            CloseHandle(h);
        }
    });
    const RunResult r = run({"unit.m3", "-c"});
    running = false;
    scanner.join();
    EXPECT_EQ(r.out, "Strings Found: \n\tabcd\n");
    EXPECT_EQ(names(), (std::vector<std::string>{"Logfile.txt", "unit.m3", "unit_Sc2.m3"}));
}

// Windows keeps some names for devices, with any extension: such a file is refused for
// what it is. A path typed in the device namespace ("\\.\C:\...") converts, and one
// of "\\?\" is never taken for a wildcard.
TEST_F(Cli, ReservedNamesAndDevicePathsAreTakenForWhatTheyAre) {
    put("unit.m3", workedInput());
    std::string native = dir;
    for (char& c : native) {
        c = c == '/' ? '\\' : c;
    }
    const std::wstring aux = L"\\\\?\\" + toUtf16(native) + L"\\aux.m3";
    HANDLE made = CreateFileW(aux.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (made != INVALID_HANDLE_VALUE) {
        CloseHandle(made);
    }
    const struct {
        std::string input;
        std::string out;
    } cases[] = {
        {"aux.m3",
         "Cannot open \"aux.m3\": Not a regular file: Windows keeps this name for a device\n"},
        {"COM1",
         "Cannot open \"COM1\": Not a regular file: Windows keeps this name for a device\n"},
        {"\\\\.\\" + native + "\\unit.m3", "Strings Found: \n\tabcd\n"},
        {"\\\\?\\" + native + "\\absent.m3",
         "Cannot open \"\\\\?\\" + native + "\\absent.m3\": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run({c.input, "-c"}).out, c.out) << c.input;
    }
    DeleteFileW(aux.c_str());
}

// The strings report is composed in memory: a temporary folder that is missing, or
// whose path is long, does not stop a conversion.
TEST_F(Cli, TheTemporaryFolderPlaysNoPart) {
    put("unit.m3", workedInput());
    const std::string longTemp = "C:\\" + std::string(250, 't') + "\\" + std::string(10, 't');
    for (const std::string& temp : {std::string("C:\\no\\such\\folder"), longTemp}) {
        RunOptions options;
        options.tempFolder = temp;
        const RunResult r = run({"unit.m3", "-c"}, options);
        EXPECT_EQ(r.status, 0) << temp;
        EXPECT_EQ(r.out, "Strings Found: \n\tabcd\n") << temp;
    }
}

// A symbolically linked output is written through to the file the link names.
TEST_F(Cli, ALinkedOutputIsWrittenThrough) {
    put("unit.m3", workedInput());
    put("real.m3", "earlier output");
    // Wine answers that it made the link and makes none.
    if (!CreateSymbolicLinkW(toUtf16(path("unit_Sc2.m3")).c_str(), L"real.m3", 0) ||
        GetFileAttributesW(toUtf16(path("unit_Sc2.m3")).c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "this system makes no symbolic links here";
    }
    EXPECT_EQ(run({"unit.m3", "-c"}).status, 0);
    EXPECT_EQ(readFileBytes(path("real.m3")), workedOutput());
    const DWORD attributes = GetFileAttributesW(toUtf16(path("unit_Sc2.m3")).c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        << "the link stays a link";
}

// Past the old limit of 260 characters, through paths that spell "." and "..", an
// earlier output is replaced.
TEST_F(Cli, PathsPastTheOldWindowsLimitConvert) {
    std::wstring made = L"\\\\?\\" + toUtf16(dir) + L"\\d";
    for (wchar_t& c : made) {
        c = c == L'/' ? L'\\' : c;
    }
    ASSERT_TRUE(CreateDirectoryW(made.c_str(), nullptr));
    std::string folder = "./d";
    for (const char letter : {'a', 'b', 'c'}) {
        folder += "/" + std::string(100, letter);
        made += L"\\" + std::wstring(100, wchar_t(letter));
        ASSERT_TRUE(CreateDirectoryW(made.c_str(), nullptr));
    }
    ASSERT_GT(dir.size() + folder.size(), 300u);
    const std::vector<uint8_t> input = workedInput();
    FILE* file = _wfopen((made + L"\\a.m3").c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), file), input.size());
    ASSERT_EQ(std::fclose(file), 0);
    // An earlier output is replaced: nothing there needs resolving.
    file = _wfopen((made + L"\\a_Sc2.m3").c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fclose(file), 0);
    const RunResult r = run({folder + "/../" + std::string(100, 'c') + "/a.m3", "-c"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(GetFileAttributesW((made + L"\\a_Sc2.m3").c_str()), INVALID_FILE_ATTRIBUTES);
    // Taken down here: the fixture's removal cannot reach so far.
    DeleteFileW((made + L"\\a.m3").c_str());
    DeleteFileW((made + L"\\a_Sc2.m3").c_str());
    for (int level = 0; level < 4; ++level) {
        RemoveDirectoryW(made.c_str());
        made.resize(made.rfind(L'\\'));
    }
}

// Windows allows a name to hold half of a surrogate pair; such a name reaches the
// program and its output exactly.
TEST_F(Cli, ANameWithAnUnpairedSurrogateConverts) {
    const std::wstring base = toUtf16(dir) + L"\\model\xD800";
    const std::vector<uint8_t> input = workedInput();
    FILE* file = _wfopen((base + L".m3").c_str(), L"wb");
    if (!file) {
        GTEST_SKIP() << "this file system cannot hold such a name (Wine keeps names as UTF-8)";
    }
    ASSERT_EQ(std::fwrite(input.data(), 1, input.size(), file), input.size());
    ASSERT_EQ(std::fclose(file), 0);
    const RunResult r = run({fromUtf16(L"model\xD800.m3"), "-c"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(GetFileAttributesW((base + L"_Sc2.m3").c_str()), INVALID_FILE_ATTRIBUTES);
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
    EXPECT_EQ(readFileBytes(path("unit_Sc2.m3")), workedOutput());
}

} // namespace
#endif
