// The M3 format itself: tags, the header and index records, the little-endian
// helpers and the alignment the converter writes. Every other unit builds on this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A tag's readable name is its four bytes from the most significant down; stored
// little-endian, the name reads reversed on disk ("LDOM" for MODL).
constexpr uint32_t makeTag(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) << 24 | uint32_t(uint8_t(b)) << 16 | uint32_t(uint8_t(c)) << 8 |
           uint32_t(uint8_t(d));
}

constexpr uint32_t TAG_MD34 = makeTag('M', 'D', '3', '4');
constexpr uint32_t TAG_MODL = makeTag('M', 'O', 'D', 'L');
constexpr uint32_t TAG_RIB_ = makeTag('R', 'I', 'B', '_');
constexpr uint32_t TAG_LAYR = makeTag('L', 'A', 'Y', 'R');
constexpr uint32_t TAG_PAR_ = makeTag('P', 'A', 'R', '_');
constexpr uint32_t TAG_REGN = makeTag('R', 'E', 'G', 'N');
constexpr uint32_t TAG_FOR_ = makeTag('F', 'O', 'R', '_');
constexpr uint32_t TAG_PHAC = makeTag('P', 'H', 'A', 'C');
constexpr uint32_t TAG_PHCC = makeTag('P', 'H', 'C', 'C');
constexpr uint32_t TAG_PHCL = makeTag('P', 'H', 'C', 'L');
constexpr uint32_t TAG_U64_ = makeTag('U', '6', '4', '_');
constexpr uint32_t TAG_U16_ = makeTag('U', '1', '6', '_');
constexpr uint32_t TAG_CHAR = makeTag('C', 'H', 'A', 'R');

constexpr uint32_t HEADER_SIZE = 24;
constexpr uint32_t ENTRY_SIZE = 16;
constexpr uint32_t ALIGNMENT = 16;
// Where the header keeps the index offset; the writer patches it last.
constexpr uint32_t INDEX_OFFSET_FIELD = 4;

// Alignment bytes are always 0xAA, never zeros.
inline constexpr uint8_t PADDING[ALIGNMENT] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                               0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

inline void storeLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t loadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The header's fields that the converter reads; its other 12 bytes travel unchanged
// as part of the first block.
struct M3Header {
    uint32_t magic = 0;
    uint32_t indexOffset = 0;
    uint32_t indexCount = 0;
};

struct IndexEntry {
    uint32_t tag = 0;
    uint32_t offset = 0;
    uint32_t count = 0;
    uint32_t version = 0;
};

// One entry's byte span of the input: from its offset up to the next entry's offset,
// or up to the index for the last entry, alignment bytes included.
struct Block {
    uint64_t offset = 0;
    uint32_t size = 0;
};

// The input's header and index, checked. The blocks lie back to back from the input's
// first byte, each `sizes[i]` bytes long, up to the index offset. Entries and sizes are
// indexed alike; the rules and the writer change the entries in place.
struct BlockSet {
    uint32_t indexOffset = 0;
    std::vector<IndexEntry> entries;
    std::vector<uint32_t> sizes;
};

inline uint64_t alignUp(uint64_t n) {
    return (n + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
}
