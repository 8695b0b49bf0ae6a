#include "messages.h"
#include "process.h"
#include "support.h"

#include <cstring>
#include <filesystem>

namespace {

TEST(Writer, WorkedCaseByteForByte) {
    const std::vector<uint8_t> input = workedInput();
    ASSERT_EQ(input.size(), 72u + 64u + 12u);
    ASSERT_EQ(loadU32(input, 4), 72u);
    const std::vector<uint8_t> expected = workedOutput();

    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(result.output.size(), 176u);
    EXPECT_EQ(result.output, expected);
    EXPECT_EQ(result.log, WORKED_LOG);
    EXPECT_EQ(result.report, "Strings Found: \n\tabcd\n");
}

TEST(Writer, PadsEachCopiedBlockToSixteenWithAA) {
    const struct {
        uint32_t span;
        size_t padding;
    } cases[] = {{16, 0}, {20, 12}, {1, 15}, {31, 1}, {32, 0}, {0, 0}};
    for (const auto& c : cases) {
        const BuildEntry block{makeTag('S', 'E', 'Q', 'S'), 1, 1, repeated(0x11, c.span)};
        const Conversion result = convert(buildM3({headerEntry(32), block}));
        ASSERT_EQ(result.status, LoadStatus::Loaded) << c.span;
        const std::vector<uint8_t> span = outputSpan(result.output, 1);
        EXPECT_EQ(span, joined(repeated(0x11, c.span), repeated(0xAA, c.padding))) << c.span;
        EXPECT_EQ(outputIndex(result.output)[1].offset, 32u) << c.span;
    }
}

TEST(Writer, AlignedAllCopyInputComesOutEqualUpToTheIndexEnd) {
    const std::vector<BuildEntry> entries = {
        headerEntry(40),
        charEntry("a string of some length"),
        elementsEntry(makeTag('S', 'E', 'Q', 'S'), 3, 2, 48),
        elementsEntry(TAG_MODL, 27, 1, 100),
        elementsEntry(TAG_REGN, 5, 2, 30),
        elementsEntry(TAG_FOR_, 3, 1, 7),
    };
    std::vector<uint8_t> input = buildM3(entries, 16, 9, 0xAA);
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    input.resize(input.size() - 9);
    EXPECT_EQ(result.output, input);
}

TEST(Writer, EveryBlockAndTheIndexStartOnSixteen) {
    const std::vector<uint8_t> input =
        buildM3({headerEntry(25), charEntry("x"), elementsEntry(TAG_MODL, 28, 3, 844),
                 elementsEntry(TAG_LAYR, 26, 1, 464), charEntry("yz")});
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(loadU32(result.output, 4) % 16, 0u);
    for (const IndexEntry& e : outputIndex(result.output)) {
        EXPECT_EQ(e.offset % 16, 0u);
    }
    EXPECT_EQ(result.output.size(), loadU32(result.output, 4) + 5 * 16u);
}

TEST(Reader, SingleEntryRunsUpToTheIndex) {
    std::vector<uint8_t> input = buildM3({headerEntry(24)});
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(result.log, "Tag: MD34\n\tsize:24\n");
    EXPECT_EQ(result.output.size(), 32u + 16u);
}

TEST(Reader, MagicMustReadMD34Reversed) {
    const char* const orders[] = {"MD34", "34DM", "3D4M", "D34M", "43MD", "md34", "43dm"};
    for (const char* magic : orders) {
        std::vector<uint8_t> input = workedInput();
        std::memcpy(input.data(), magic, 4);
        const Conversion result = convert(input);
        EXPECT_EQ(result.status, LoadStatus::Rejected) << magic;
        EXPECT_EQ(result.fault.fault, Fault::WrongMagic) << magic;
        EXPECT_EQ(describeFault(result.fault), "") << magic;
    }
    std::vector<uint8_t> input = workedInput();
    std::memcpy(input.data(), "43DM", 4);
    EXPECT_EQ(convert(input).status, LoadStatus::Loaded);
}

struct FaultCase {
    const char* name;
    std::vector<uint8_t> file;
    Fault fault;
    const char* reason;
};

std::vector<uint8_t> withU32(std::vector<uint8_t> file, size_t at, uint32_t value) {
    storeU32(file, at, value);
    return file;
}

std::vector<uint8_t> firstBytes(const std::vector<uint8_t>& file, size_t n) {
    return std::vector<uint8_t>(file.begin(), file.begin() + long(n));
}

// Index entry i's field at `field` (0 tag, 4 offset, 8 count, 12 version).
size_t fieldAt(const std::vector<uint8_t>& file, size_t i, size_t field) {
    return loadU32(file, 4) + i * 16 + field;
}

std::vector<FaultCase> faultCases() {
    const std::vector<uint8_t> w = workedInput(); // index at 72, 4 entries, 148 bytes
    return {
        {"empty", {}, Fault::WrongMagic, ""},
        {"three bytes", {'4', '3', 'D'}, Fault::WrongMagic, ""},
        {"magic only", firstBytes(w, 4), Fault::TruncatedHeader,
         "The header is cut short: the file is 4 bytes long, the header needs 24."},
        {"23 bytes", firstBytes(w, 23), Fault::TruncatedHeader,
         "The header is cut short: the file is 23 bytes long, the header needs 24."},
        {"no entries", withU32(w, 8, 0), Fault::NoBlocks,
         "The index has no entries, so the file holds no blocks."},
        {"index past end", withU32(w, 4, 100), Fault::IndexPastEnd,
         "The index at offset 100 ends at byte 164, past the end of the file at byte 148."},
        {"huge count", withU32(w, 8, 0xFFFFFFFF), Fault::IndexPastEnd,
         "The index at offset 72 ends at byte 68719476792, past the end of the file at byte "
         "148."},
        {"huge offset", withU32(w, 4, 0xFFFFFFF0), Fault::IndexPastEnd,
         "The index at offset 4294967280 ends at byte 4294967344, past the end of the file at "
         "byte 148."},
        {"first not at zero", withU32(w, fieldAt(w, 0, 4), 8), Fault::FirstNotAtZero,
         "Index entry 0 (MD34) starts at offset 8; the first block must start at offset 0."},
        {"header block short", withU32(w, fieldAt(w, 1, 4), 20), Fault::FirstShorterThanHeader,
         "Index entry 0 (MD34) is 20 bytes long, shorter than the 24-byte header."},
        {"offsets out of order", withU32(w, fieldAt(w, 2, 4), 20), Fault::OffsetBeforePrevious,
         "Index entry 2 (REGN) starts at offset 20, before the previous entry at offset 24."},
        {"last beyond index", withU32(w, fieldAt(w, 3, 4), 80), Fault::LastBeyondIndex,
         "Index entry 3 (FOR_) starts at offset 80, beyond the index at offset 72."},
        {"unprintable tag", withU32(withU32(w, fieldAt(w, 3, 4), 80), fieldAt(w, 3, 0), 0x41000A42),
         Fault::LastBeyondIndex,
         "Index entry 3 (A??B) starts at offset 80, beyond the index at offset 72."},
        {"elements past block", withU32(w, fieldAt(w, 2, 8), 2), Fault::ElementsPastBlock,
         "Index entry 2 (REGN), version 4, holds 2 elements of 40 bytes, 80 bytes in all, but "
         "its block is only 40 bytes long."},
        {"first block rewritten empty",
         withU32(withU32(withU32(w, fieldAt(w, 0, 0), TAG_REGN), fieldAt(w, 0, 12), 4),
                 fieldAt(w, 0, 8), 0),
         Fault::FirstBlockEmpty,
         "Index entry 0 (REGN), version 4, has no elements, so the first block would be written "
         "empty."},
    };
}

TEST(Reader, RefusesEachFaultWithItsReason) {
    for (const FaultCase& c : faultCases()) {
        const Conversion result = convert(c.file);
        EXPECT_EQ(result.status, LoadStatus::Rejected) << c.name;
        EXPECT_EQ(result.fault.fault, c.fault) << c.name;
        EXPECT_EQ(describeFault(result.fault), c.reason) << c.name;
        EXPECT_TRUE(result.output.empty()) << c.name;
        EXPECT_TRUE(result.log.empty() && result.report.empty()) << c.name;
    }
}

TEST(Reader, EqualOffsetsAndEmptySpansAreAccepted) {
    std::vector<uint8_t> input = buildM3({headerEntry(24), charEntry(""), charEntry("q")});
    storeU32(input, fieldAt(input, 1, 4), 25); // the first CHAR now spans nothing
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(result.log, "Tag: MD34\n\tsize:25\nTag: CHAR\n\tsize:0\nTag: CHAR\n\tsize:1\n");
    EXPECT_EQ(outputIndex(result.output)[1].offset, 32u);
    EXPECT_EQ(outputIndex(result.output)[2].offset, 32u);
}

// The same reads from memory and from a file: a range outside the source is refused as
// an input that does not hold it, and so is a file that ends before the size it had; a
// failed read is remembered, so that later reads (zeros) cannot hide it.
TEST(Reader, ReadBufferRefusesRangesOutsideTheSourceAndAFileThatShrank) {
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::string dir = makeScratchDir();
    ASSERT_TRUE(writeFileBytes(dir + "/in", std::vector<uint8_t>(bytes, bytes + 8)));
    InputFile input;
    int error = 0;
    ASSERT_TRUE(openInput(dir + "/in", input, error));
    const auto sourceOf = [&](bool fromFile, uint64_t size) {
        Source source;
        source.fd = fromFile ? input.fd : -1;
        source.memory = fromFile ? nullptr : bytes;
        source.size = size;
        return source;
    };
    const struct {
        uint64_t offset;
        uint64_t size;
    } outside[] = {{5, 4}, {9, 0}, {1, UINT64_MAX}};
    for (const bool fromFile : {false, true}) {
        Source source = sourceOf(fromFile, sizeof bytes);
        uint8_t dest[8] = {};
        EXPECT_TRUE(readBuffer(source, 4, 4, dest));
        EXPECT_EQ(dest[0], 5);
        EXPECT_EQ(sourceTake(source, 6, 2)[1], 8);
        EXPECT_EQ(source.error, 0);
        for (const auto& range : outside) {
            Source refusing = sourceOf(fromFile, sizeof bytes);
            EXPECT_FALSE(readBuffer(refusing, range.offset, range.size, dest)) << range.offset;
            EXPECT_EQ(refusing.error, CHANGED_WHILE_READ) << range.offset;
        }
    }
#ifdef _WIN32
    EXPECT_TRUE(closeInput(input, error)) << "no other program may write to the input";
#else
    std::filesystem::resize_file(dir + "/in", 6);
    Source shrunk = sourceOf(true, sizeof bytes);
    uint8_t dest[8] = {};
    EXPECT_FALSE(readBuffer(shrunk, 4, 4, dest));
    EXPECT_EQ(shrunk.error, CHANGED_WHILE_READ);
    EXPECT_EQ(sourceTake(shrunk, 0, 2)[0], 0);
    EXPECT_FALSE(closeInput(input, error));
#endif
    removeTree(dir);
}

TEST(Names, InsertsSc2BeforeTheLastDot) {
    const struct {
        const char* input;
        const char* output;
    } cases[] = {
        {"C:\\models\\unit.m3", "C:\\models\\unit_Sc2.m3"},
        {"a.b\\c.m3", "a.b\\c_Sc2.m3"},
        {"a.b/c.m3", "a.b/c_Sc2.m3"},
        {"dir.old/model", "dir_Sc2.old/model"},
        {"dir.old\\model", "dir_Sc2.old\\model"},
        {"model", "model_Sc2"},
        {"unit.", "unit_Sc2."},
        {".m3", "_Sc2.m3"},
        {"x.tar.m3", "x.tar_Sc2.m3"},
        // A dot of "." or ".." is a folder's, not the extension's.
        {"./unit", "./unit_Sc2"},
        {"../plain", "../plain_Sc2"},
        {"../a.b/c", "../a_Sc2.b/c"},
        {"x/./y/../z.m3", "x/./y/../z_Sc2.m3"},
        {"..", ".._Sc2"},
        {"...", ".._Sc2."},
#ifdef _WIN32
        {"..\\plain", "..\\plain_Sc2"},
        {".\\dir.old\\..\\model", ".\\dir_Sc2.old\\..\\model"},
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outputNameFor(c.input), c.output) << c.input;
    }
}

} // namespace
