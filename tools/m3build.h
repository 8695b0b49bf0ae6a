// Builds M3 files from a list of blocks, for the example, the tests and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BuildEntry {
    uint32_t tag;
    uint32_t count;
    uint32_t version;
    std::vector<uint8_t> bytes;
};

// Lays the blocks out back to back from offset 0, each padded with `fill` up to a
// multiple of `align`, then the index, then `trailing` bytes of 0xEE. The first
// block is the header: its magic, index offset and index count are filled in.
std::vector<uint8_t> buildM3(const std::vector<BuildEntry>& entries, uint32_t align = 1,
                             uint32_t trailing = 0, uint8_t fill = 0);

// A header block of `size` bytes (24 or more), tagged MD34.
BuildEntry headerEntry(uint32_t size = 24);

// `count` elements of `stride` bytes in a pattern that tells every byte apart.
BuildEntry elementsEntry(uint32_t tag, uint32_t version, uint32_t count, uint32_t stride,
                         uint32_t seed = 0);

// A CHAR block holding the text and its terminator; count is the byte count.
BuildEntry charEntry(const std::string& text);

// The byte `elementsEntry` puts at offset `at` of element `element`.
uint8_t patternByte(uint32_t element, uint32_t at, uint32_t seed);

void storeU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
uint32_t loadU32(const std::vector<uint8_t>& bytes, size_t at);

// Reads and writes whole files named in UTF-8, for the tools and tests.
std::vector<uint8_t> readFileBytes(const std::string& path);
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
