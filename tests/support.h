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

inline std::vector<uint8_t> repeated(uint8_t value, size_t count) {
    return std::vector<uint8_t>(count, value);
}

inline std::vector<uint8_t> joined(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
