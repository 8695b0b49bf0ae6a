#include "m3build.h"

#include "format.h"

#include <filesystem>
#include <fstream>
#include <iterator>

void storeU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    storeLe32(bytes.data() + at, value);
}

uint32_t loadU32(const std::vector<uint8_t>& bytes, size_t at) {
    return loadLe32(bytes.data() + at);
}

uint8_t patternByte(uint32_t element, uint32_t at, uint32_t seed) {
    return uint8_t(element * 37u + at * 7u + (at >> 8) * 3u + seed * 101u + 1u);
}

BuildEntry headerEntry(uint32_t size) {
    BuildEntry header{TAG_MD34, 1, 11, std::vector<uint8_t>(size, 0)};
    for (uint32_t i = 12; i < size; ++i) {
        header.bytes[i] = uint8_t(0x40 + i);
    }
    return header;
}

BuildEntry elementsEntry(uint32_t tag, uint32_t version, uint32_t count, uint32_t stride,
                         uint32_t seed) {
    BuildEntry entry{tag, count, version, std::vector<uint8_t>(size_t(count) * stride)};
    for (uint32_t e = 0; e < count; ++e) {
        for (uint32_t j = 0; j < stride; ++j) {
            entry.bytes[size_t(e) * stride + j] = patternByte(e, j, seed);
        }
    }
    return entry;
}

BuildEntry charEntry(const std::string& text) {
    BuildEntry entry{TAG_CHAR, uint32_t(text.size() + 1), 0,
                     std::vector<uint8_t>(text.begin(), text.end())};
    entry.bytes.push_back(0);
    return entry;
}

std::vector<uint8_t> buildM3(const std::vector<BuildEntry>& entries, uint32_t align,
                             uint32_t trailing, uint8_t fill) {
    std::vector<uint8_t> file;
    std::vector<uint32_t> offsets;
    for (const BuildEntry& entry : entries) {
        offsets.push_back(uint32_t(file.size()));
        file.insert(file.end(), entry.bytes.begin(), entry.bytes.end());
        while (file.size() % align != 0) {
            file.push_back(fill);
        }
    }
    const uint32_t indexOffset = uint32_t(file.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = file.size();
        file.resize(at + ENTRY_SIZE);
        storeU32(file, at, entries[i].tag);
        storeU32(file, at + 4, offsets[i]);
        storeU32(file, at + 8, entries[i].count);
        storeU32(file, at + 12, entries[i].version);
    }
    file.insert(file.end(), trailing, 0xEE);
    if (file.size() >= HEADER_SIZE && !entries.empty()) {
        storeU32(file, 0, TAG_MD34);
        storeU32(file, 4, indexOffset);
        storeU32(file, 8, uint32_t(entries.size()));
    }
    return file;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}
