#include "report.h"
#include "support.h"

namespace {

TEST(Log, TwoLinesPerEntryWithTagAfterTheRulesAndSizePerElement) {
    const std::vector<uint8_t> input =
        buildM3({headerEntry(32), elementsEntry(TAG_PHAC, 1, 4, 10),
                 elementsEntry(TAG_MODL, 28, 5, 844), BuildEntry{TAG_LAYR, 0, 3, repeated(9, 7)},
                 BuildEntry{makeTag('B', 'I', 'G', '_'), 1, 1, repeated(1, 1234567)},
                 BuildEntry{makeTag('S', 'E', 'Q', 'S'), 4, 1, repeated(1, 15)}});
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(result.log, "Tag: MD34\n\tsize:32\n"
                          "Tag: U16_\n\tsize:10\n"
                          "Tag: MODL\n\tsize:820\n"
                          "Tag: LAYR\n\tsize:0\n"
                          "Tag: BIG_\n\tsize:1234567\n"
                          "Tag: SEQS\n\tsize:3\n");
}

TEST(Log, PrintsTagBytesAsTheyAre) {
    std::vector<uint8_t> bytes;
    Sink log;
    log.memory = &bytes;
    writeLogEntry(log, IndexEntry{0x01FF2041, 0, 2, 0}, 0xFFFFFFFEull);
    ASSERT_TRUE(sinkFlush(log));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              std::string("Tag: \x01\xFF\x20\x41\n\tsize:2147483647\n"));
}

struct ReportCase {
    const char* name;
    std::vector<BuildEntry> blocks;
    const char* report;
};

BuildEntry rawChar(const std::string& bytes) {
    return BuildEntry{TAG_CHAR, uint32_t(bytes.size()), 0,
                      std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

TEST(Report, PrintsTheFirstStringOfEachCharBlock) {
    const std::vector<ReportCase> cases = {
        {"no blocks", {}, "Strings Found: \n"},
        {"several in order",
         {charEntry("first"), elementsEntry(TAG_MODL, 1, 1, 4), charEntry("second")},
         "Strings Found: \n\tfirst\n\tsecond\n"},
        {"starts with zero", {rawChar(std::string("\0hidden\0", 8))}, "Strings Found: \n"},
        {"only the first string",
         {rawChar(std::string("one\0two\0", 8))},
         "Strings Found: \n\tone\n"},
        {"empty span", {rawChar("")}, "Strings Found: \n"},
        {"not CHAR",
         {BuildEntry{makeTag('C', 'H', 'A', 'Q'), 3, 0, {'a', 'b', 0}}},
         "Strings Found: \n"},
        // Control characters reach the terminal as '?', so a model cannot command it.
        {"title escape",
         {charEntry("a\x1B]0;owned\x07"
                    "b")},
         "Strings Found: \n\ta?]0;owned?b\n"},
        {"clear screen", {charEntry("\x1B[2J")}, "Strings Found: \n\t?[2J\n"},
        {"tab, return, DEL", {charEntry("\t\r\x7F\x01\x1F ~")}, "Strings Found: \n\t????? ~\n"},
        {"C1 in UTF-8, one '?' each",
         {charEntry("\xC2\x9B"
                    "2J\xC2\x80\xC2\xA0\xC3\xA9")},
         "Strings Found: \n\t?2J?\xC2\xA0\xC3\xA9\n"},
        {"lead byte at the end", {charEntry("x\xC2")}, "Strings Found: \n\tx\xC2\n"},
    };
    for (const ReportCase& c : cases) {
        std::vector<BuildEntry> blocks = {headerEntry(24)};
        blocks.insert(blocks.end(), c.blocks.begin(), c.blocks.end());
        const Conversion result = convert(buildM3(blocks));
        ASSERT_EQ(result.status, LoadStatus::Loaded) << c.name;
        EXPECT_EQ(result.report, c.report) << c.name;
    }
}

TEST(Report, BlockWithoutTerminatorStopsAtItsSpan) {
    // The last block runs up to the index: the report must not read into it.
    const std::vector<uint8_t> input = buildM3({headerEntry(24), rawChar("open-ended")});
    const Conversion result = convert(input);
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(result.report, "Strings Found: \n\topen-ended\n");
    // In the middle, the padding bytes are part of the span.
    const Conversion middle =
        convert(buildM3({headerEntry(24), rawChar("abc"), charEntry("d")}, 8, 0, 'x'));
    EXPECT_EQ(middle.report, "Strings Found: \n\tabcxxxxx\n\td\n");
}

} // namespace
