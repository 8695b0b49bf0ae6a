#include "downgrade.h"
#include "support.h"

#include <random>

namespace {

// How a rewrite changes one element, said the other way round from the rule table:
// by the byte ranges it drops and the zero bytes it appends.
struct Expectation {
    const char* name; // "copy" for blocks copied unchanged
    uint32_t stride;
    std::vector<ByteRange> dropped;
    uint32_t appendedZeros;
    bool marks96;
    uint32_t newVersion; // for a copy, version 2 becomes 1 and any other stays
};

const Expectation COPY = {"copy", 100, {}, 0, false, 0};
const Expectation EXPECT_M29 = {"M29", 856, {{420, 444}, {564, 576}}, 0, true, 26};
const Expectation EXPECT_M28 = {"M28", 844, {{420, 432}, {552, 564}}, 0, true, 26};
const Expectation EXPECT_M26 = {"M26", 820, {}, 0, true, 26};
const Expectation EXPECT_R9 = {"R9", 760, {{396, 400}}, 0, false, 8};
const Expectation EXPECT_R26 = {"R26", 464, {}, 4, false, 25};
const Expectation EXPECT_R24 = {"R24", 1496, {{400, 404}}, 0, false, 23};
const Expectation EXPECT_R4 = {"R4", 40, {{36, 40}}, 0, false, 3};

std::vector<uint8_t> expectedElements(const Expectation& x, const std::vector<uint8_t>& input,
                                      uint32_t count) {
    std::vector<uint8_t> out;
    for (uint32_t e = 0; e < count; ++e) {
        for (uint32_t j = 0; j < x.stride; ++j) {
            bool dropped = false;
            for (const ByteRange& r : x.dropped) {
                dropped = dropped || (j >= r.begin && j < r.end);
            }
            if (!dropped) {
                const uint8_t byte = input[size_t(e) * x.stride + j];
                out.push_back(x.marks96 && j == 96 ? uint8_t(0x7D) : byte);
            }
        }
        out.insert(out.end(), x.appendedZeros, 0);
    }
    return out;
}

struct Cell {
    uint32_t tag;
    uint32_t version;
    const Expectation* rule;
    uint32_t newVersion;
};

// The whole rule table: six tags by eight versions.
std::vector<Cell> ruleTable() {
    const uint32_t versions[] = {29, 28, 26, 24, 9, 4, 2, 7};
    const Expectation* const C = &COPY;
    const struct {
        uint32_t tag;
        const Expectation* rules[8];
    } rows[] = {
        {TAG_MODL,
         {&EXPECT_M29, &EXPECT_M28, &EXPECT_M26, &EXPECT_R24, &EXPECT_R9, &EXPECT_R4, C, C}},
        {TAG_RIB_, {C, C, &EXPECT_R26, &EXPECT_R24, &EXPECT_R9, &EXPECT_R4, C, C}},
        {TAG_LAYR, {C, C, &EXPECT_R26, &EXPECT_R24, C, &EXPECT_R4, C, C}},
        {TAG_PAR_, {C, C, C, &EXPECT_R24, C, &EXPECT_R4, C, C}},
        {TAG_REGN, {C, C, C, C, C, &EXPECT_R4, C, C}},
        {TAG_FOR_, {C, C, C, C, C, C, C, C}},
    };
    std::vector<Cell> cells;
    for (const auto& row : rows) {
        for (int v = 0; v < 8; ++v) {
            const Expectation* rule = row.rules[v];
            const uint32_t copied = versions[v] == 2 ? 1 : versions[v];
            cells.push_back(
                {row.tag, versions[v], rule, rule == &COPY ? copied : rule->newVersion});
        }
    }
    return cells;
}

std::string tagText(uint32_t tag) {
    return std::string{char(tag >> 24), char(tag >> 16), char(tag >> 8), char(tag)};
}

TEST(Rules, EveryTagAndVersionOfTheTable) {
    for (const Cell& cell : ruleTable()) {
        const std::string where = tagText(cell.tag) + " v" + std::to_string(cell.version);
        const uint32_t count = 3;
        // Seven input alignment bytes follow the elements; a rewrite must not carry them.
        BuildEntry block = elementsEntry(cell.tag, cell.version, count, cell.rule->stride, 9);
        const std::vector<uint8_t> elements = block.bytes;
        block.bytes = joined(block.bytes, repeated(0x55, 7));
        const Conversion result = convert(buildM3({headerEntry(32), block, charEntry("after")}));
        ASSERT_EQ(result.status, LoadStatus::Loaded) << where;

        std::vector<uint8_t> expected =
            cell.rule == &COPY ? block.bytes : expectedElements(*cell.rule, elements, count);
        const size_t written = expected.size();
        expected = joined(expected, repeated(0xAA, alignUp(written) - written));
        EXPECT_EQ(outputSpan(result.output, 1), expected) << where;

        const IndexEntry entry = outputIndex(result.output)[1];
        EXPECT_EQ(entry.tag, cell.tag) << where;
        EXPECT_EQ(entry.version, cell.newVersion) << where;
        EXPECT_EQ(entry.count, count) << where;
        const std::string sizeLine = "\tsize:" + std::to_string(written / count) + "\n";
        EXPECT_NE(result.log.find("Tag: " + tagText(cell.tag) + "\n" + sizeLine), std::string::npos)
            << where;
    }
}

TEST(Rules, PhysicsTagsBecomeU16VersionZero) {
    for (uint32_t tag : {TAG_PHAC, TAG_PHCC, TAG_PHCL, TAG_U64_}) {
        const BuildEntry block = elementsEntry(tag, 3, 2, 20);
        const Conversion result = convert(buildM3({headerEntry(32), block}));
        ASSERT_EQ(result.status, LoadStatus::Loaded);
        const IndexEntry entry = outputIndex(result.output)[1];
        EXPECT_EQ(entry.tag, TAG_U16_) << tagText(tag);
        EXPECT_EQ(entry.version, 0u);
        EXPECT_EQ(entry.count, 2u);
        EXPECT_EQ(outputSpan(result.output, 1), joined(block.bytes, repeated(0xAA, 8)));
        EXPECT_EQ(result.log, "Tag: MD34\n\tsize:32\nTag: U16_\n\tsize:20\n");
    }
}

TEST(Rules, OtherTagsAreCopiedWithTheirEntryUnchanged) {
    for (uint32_t tag :
         {TAG_MD34, TAG_CHAR, TAG_U16_, makeTag('S', 'E', 'Q', 'S'), makeTag('m', 'o', 'd', 'l')}) {
        for (uint32_t version : {28u, 26u, 24u, 9u, 4u, 2u}) {
            const BuildEntry block = elementsEntry(tag, version, 1, 844);
            const Conversion result = convert(buildM3({headerEntry(32), block}));
            ASSERT_EQ(result.status, LoadStatus::Loaded);
            const IndexEntry entry = outputIndex(result.output)[1];
            EXPECT_EQ(entry.tag, tag);
            EXPECT_EQ(entry.version, version);
            EXPECT_EQ(outputSpan(result.output, 1), joined(block.bytes, repeated(0xAA, 4)))
                << tagText(tag) << " v" << version;
        }
    }
}

// MODL 28 and 29 elements laid out by hand: three elements become 3 x 820 = 2460 bytes
// and four of alignment, at version 26. What 29 drops at 564 is its reference to the
// cloth block, which the rules retag U16_.
TEST(Rules, Modl28And29OfThreeElementsShrinkTo2460BytesAndFourOfAlignment) {
    const struct {
        uint32_t version;
        uint32_t stride;
        ByteRange dropped[2];
    } cases[] = {{28, 844, {{420, 432}, {552, 564}}}, {29, 856, {{420, 444}, {564, 576}}}};
    for (const auto& c : cases) {
        const BuildEntry block = elementsEntry(TAG_MODL, c.version, 3, c.stride);
        const Conversion result = convert(buildM3({headerEntry(32), block}));
        ASSERT_EQ(result.status, LoadStatus::Loaded) << c.version;
        const std::vector<uint8_t> span = outputSpan(result.output, 1);
        ASSERT_EQ(span.size(), 2464u) << c.version;
        EXPECT_EQ(std::vector<uint8_t>(span.begin() + 2460, span.end()), repeated(0xAA, 4));
        EXPECT_EQ(outputIndex(result.output)[1].version, 26u) << c.version;
        EXPECT_NE(result.log.find("Tag: MODL\n\tsize:820\n"), std::string::npos) << c.version;
        const uint32_t first = c.dropped[0].end - c.dropped[0].begin;
        const uint32_t second = c.dropped[1].end - c.dropped[1].begin;
        for (uint32_t e = 0; e < 3; ++e) {
            const uint8_t* out = span.data() + e * 820;
            // Byte 96 is now 0x7D; bytes 97 to 99 of that field are kept.
            EXPECT_EQ(out[96], 0x7D);
            for (uint32_t j = 97; j < 100; ++j) {
                EXPECT_EQ(out[j], patternByte(e, j, 0));
            }
            // Each output byte is the input byte after the ranges dropped before it.
            EXPECT_EQ(out[419], patternByte(e, 419, 0)) << c.version;
            EXPECT_EQ(out[420], patternByte(e, c.dropped[0].end, 0)) << c.version;
            EXPECT_EQ(out[c.dropped[1].begin - first], patternByte(e, c.dropped[1].end, 0))
                << c.version;
            EXPECT_EQ(out[819], patternByte(e, c.stride - 1, 0)) << c.version;
            EXPECT_EQ(c.stride - first - second, 820u);
        }
    }
}

TEST(Rules, Modl26ChangesOnlyByte96) {
    BuildEntry block = elementsEntry(TAG_MODL, 26, 2, 820);
    const Conversion result = convert(buildM3({headerEntry(32), block}));
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    block.bytes[96] = 0x7D;
    block.bytes[820 + 96] = 0x7D;
    EXPECT_EQ(outputSpan(result.output, 1), joined(block.bytes, repeated(0xAA, 8)));
    EXPECT_EQ(outputIndex(result.output)[1].version, 26u);
}

TEST(Rules, Layr26GetsFourZeroBytesPerElement) {
    const BuildEntry block = elementsEntry(TAG_LAYR, 26, 1, 464);
    const Conversion result = convert(buildM3({headerEntry(32), block}));
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    const std::vector<uint8_t> expected =
        joined(joined(block.bytes, repeated(0, 4)), repeated(0xAA, 12));
    EXPECT_EQ(outputSpan(result.output, 1), expected);
    EXPECT_EQ(outputIndex(result.output)[1].version, 25u);
}

TEST(Rules, CountZeroRewriteWritesNothingButTakesTheNewVersion) {
    const BuildEntry block{TAG_LAYR, 0, 26, repeated(0x33, 20)};
    const Conversion result = convert(buildM3({headerEntry(32), block, charEntry("z")}));
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    const std::vector<IndexEntry> index = outputIndex(result.output);
    EXPECT_EQ(index[1].version, 25u);
    EXPECT_EQ(index[1].count, 0u);
    EXPECT_EQ(index[1].offset, 32u);
    EXPECT_EQ(index[2].offset, 32u);
    EXPECT_NE(result.log.find("Tag: LAYR\n\tsize:0\n"), std::string::npos);
}

TEST(Rules, RewrittenFirstBlockKeepsItsHeaderAndIndexOffset) {
    BuildEntry first = elementsEntry(TAG_REGN, 4, 2, 40);
    const Conversion result = convert(buildM3({first, charEntry("s")}));
    ASSERT_EQ(result.status, LoadStatus::Loaded);
    EXPECT_EQ(loadU32(result.output, 0), TAG_MD34);
    EXPECT_EQ(loadU32(result.output, 4), 96u);
    EXPECT_EQ(loadU32(result.output, 8), 2u);
    EXPECT_EQ(outputIndex(result.output)[0].version, 3u);
    EXPECT_EQ(outputIndex(result.output)[1].offset, 80u);
}

TEST(Rules, RefusesElementsThatRunPastTheirBlock) {
    const struct {
        uint32_t tag;
        uint32_t version;
        uint32_t stride;
    } rewrites[] = {{TAG_MODL, 29, 856}, {TAG_MODL, 28, 844}, {TAG_MODL, 26, 820},
                    {TAG_RIB_, 9, 760},  {TAG_LAYR, 26, 464}, {TAG_PAR_, 24, 1496},
                    {TAG_REGN, 4, 40}};
    for (const auto& r : rewrites) {
        for (uint32_t count : {1u, 3u}) {
            BuildEntry fits{r.tag, count, r.version, repeated(1, size_t(count) * r.stride)};
            EXPECT_EQ(convert(buildM3({headerEntry(32), fits})).status, LoadStatus::Loaded);
            BuildEntry past{r.tag, count, r.version, repeated(1, size_t(count) * r.stride - 1)};
            const Conversion result = convert(buildM3({headerEntry(32), past}));
            EXPECT_EQ(result.status, LoadStatus::Rejected) << r.stride;
            EXPECT_EQ(result.fault.fault, Fault::ElementsPastBlock) << r.stride;
            EXPECT_EQ(result.fault.stride, r.stride);
            EXPECT_EQ(result.fault.blockSize, size_t(count) * r.stride - 1);
        }
    }
    // A count whose elements would need more than 32 bits of bytes.
    BuildEntry huge{TAG_MODL, 0xFFFFFFFF, 28, repeated(1, 844)};
    const Conversion result = convert(buildM3({headerEntry(32), huge}));
    EXPECT_EQ(result.fault.fault, Fault::ElementsPastBlock);
    EXPECT_EQ(result.fault.neededSize, 0xFFFFFFFFull * 844);
}

uint32_t pick(std::mt19937& rng, uint32_t below) {
    return uint32_t(rng() % below);
}

// Random valid files: blocks of every rule, some copied, random input alignment.
std::vector<uint8_t> randomFile(std::mt19937& rng) {
    const uint32_t tags[] = {TAG_MODL, TAG_RIB_, TAG_LAYR, TAG_PAR_, TAG_REGN,
                             TAG_FOR_, TAG_PHAC, TAG_CHAR, TAG_U64_, makeTag('S', 'E', 'Q', 'S')};
    const uint32_t versions[] = {29, 28, 26, 24, 9, 4, 2, 1, 0};
    std::vector<BuildEntry> entries = {headerEntry(24 + pick(rng, 40))};
    const uint32_t blocks = pick(rng, 12);
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint32_t tag = tags[pick(rng, 10)];
        const uint32_t version = versions[pick(rng, 9)];
        const Decision d = decideBlock(tag, version);
        const uint32_t count = pick(rng, 4);
        const uint32_t stride = d.rewrite ? d.rewrite->inputStride : 1 + pick(rng, 50);
        BuildEntry entry = elementsEntry(tag, version, count, stride, pick(rng, 1000));
        entry.bytes = joined(entry.bytes, repeated(0x77, pick(rng, 20)));
        entries.push_back(entry);
    }
    return buildM3(entries, 1 + pick(rng, 16), pick(rng, 20));
}

TEST(Rules, ConvertingAgainChangesNothingAndKeepsAlignment) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 400; ++round) {
        const std::vector<uint8_t> input = randomFile(rng);
        const Conversion once = convert(input);
        ASSERT_EQ(once.status, LoadStatus::Loaded) << round;
        const Conversion twice = convert(once.output);
        ASSERT_EQ(twice.status, LoadStatus::Loaded) << round;
        EXPECT_EQ(twice.output, once.output) << round;
        const uint32_t indexOffset = loadU32(once.output, 4);
        EXPECT_EQ(indexOffset % 16, 0u);
        const std::vector<IndexEntry> index = outputIndex(once.output);
        EXPECT_EQ(index.size(), loadU32(input, 8));
        EXPECT_EQ(once.output.size(), indexOffset + index.size() * 16);
        for (const IndexEntry& e : index) {
            EXPECT_EQ(e.offset % 16, 0u) << round;
        }
    }
}

} // namespace
