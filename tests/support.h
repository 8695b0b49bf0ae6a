// Shared helpers for the tests: converting built files in memory and reading results.
#pragma once

#include "container.h"
#include "m3build.h"
#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline Conversion convert(const std::vector<uint8_t>& file) {
    return convertBytes(file.data(), file.size());
}

// The entries of a converted file's index.
inline std::vector<IndexEntry> outputIndex(const std::vector<uint8_t>& file) {
    std::vector<IndexEntry> entries;
    const uint32_t offset = loadU32(file, 4);
    const uint32_t count = loadU32(file, 8);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = offset + size_t(i) * ENTRY_SIZE;
        entries.push_back({loadU32(file, at), loadU32(file, at + 4), loadU32(file, at + 8),
                           loadU32(file, at + 12)});
    }
    return entries;
}

// The bytes of block i of a converted file, alignment included.
inline std::vector<uint8_t> outputSpan(const std::vector<uint8_t>& file, size_t i) {
    const std::vector<IndexEntry> index = outputIndex(file);
    const size_t begin = index[i].offset;
    const size_t end = i + 1 < index.size() ? index[i + 1].offset : loadU32(file, 4);
    return std::vector<uint8_t>(file.begin() + long(begin), file.begin() + long(end));
}

inline std::string text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The log is a text file: its lines end in CR LF on Windows.
inline std::string asTextFile(const std::string& lines) {
#ifdef _WIN32
    std::string crlf;
    for (const char c : lines) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return crlf;
#else
    return lines;
#endif
}

inline std::vector<uint8_t> repeated(uint8_t value, size_t count) {
    return std::vector<uint8_t>(count, value);
}

inline std::vector<uint8_t> joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void appendEntry(std::vector<uint8_t>& file, uint32_t tag, uint32_t offset, uint32_t count,
                        uint32_t version) {
    const size_t at = file.size();
    file.resize(at + 16);
    storeU32(file, at, tag);
    storeU32(file, at + 4, offset);
    storeU32(file, at + 8, count);
    storeU32(file, at + 12, version);
}

// The small file of the worked example: a header, a CHAR "abcd", one REGN 4 element
// and a FOR_ 2 block of three bytes, with no alignment in the input and 12 bytes after
// the index that the output must not carry over.
inline std::vector<uint8_t> workedInput() {
    const BuildEntry forBlock{TAG_FOR_, 1, 2, {0xF1, 0xF2, 0xF3}};
    return buildM3(
        {headerEntry(24), charEntry("abcd"), elementsEntry(TAG_REGN, 4, 1, 40), forBlock}, 1, 12);
}

// The worked example converted, laid out by hand from its input: each block padded
// with 0xAA to 16, REGN cut to 36 bytes and version 3, FOR_ at version 1, the index at
// 112 and nothing of the input's trailing bytes.
inline std::vector<uint8_t> workedOutput() {
    const std::vector<uint8_t> input = workedInput();
    std::vector<uint8_t> expected(input.begin(), input.begin() + 24);
    storeU32(expected, 4, 112);
    expected = joined(expected, repeated(0xAA, 8));
    expected = joined(expected, {'a', 'b', 'c', 'd', 0});
    expected = joined(expected, repeated(0xAA, 11));
    expected.insert(expected.end(), input.begin() + 29, input.begin() + 29 + 36);
    expected = joined(expected, repeated(0xAA, 12));
    expected.insert(expected.end(), input.begin() + 69, input.begin() + 72);
    expected = joined(expected, repeated(0xAA, 13));
    appendEntry(expected, TAG_MD34, 0, 1, 11);
    appendEntry(expected, TAG_CHAR, 32, 5, 0);
    appendEntry(expected, TAG_REGN, 48, 1, 3);
    appendEntry(expected, TAG_FOR_, 96, 1, 1);
    return expected;
}

const std::string WORKED_LOG = "Tag: MD34\n\tsize:24\nTag: CHAR\n\tsize:1\n"
                               "Tag: REGN\n\tsize:36\nTag: FOR_\n\tsize:3\n";
