// Converts arbitrary bytes and checks what must hold for every input: a refused input
// yields nothing; an accepted one yields a file that is accepted in turn, converts to
// itself, lays every block and the index on 16 bytes, keeps the entries' order and
// counts, and a log of two lines per entry.
#include "container.h"
#include "run.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    return loadLe32(bytes.data() + at);
}

// Walks the log: "Tag: " and four raw bytes, then "\tsize:" and digits, per entry.
bool logHasTwoLinesPerEntry(const std::string& log, size_t entries) {
    size_t at = 0;
    for (size_t i = 0; i < entries; ++i) {
        if (log.compare(at, 5, "Tag: ") != 0 || log.size() < at + 10 || log[at + 9] != '\n') {
            return false;
        }
        at += 10;
        if (log.compare(at, 6, "\tsize:") != 0) {
            return false;
        }
        at += 6;
        const size_t digits = at;
        while (at < log.size() && log[at] >= '0' && log[at] <= '9') {
            ++at;
        }
        if (at == digits || at >= log.size() || log[at] != '\n') {
            return false;
        }
        ++at;
    }
    return at == log.size();
}

void checkAccepted(const uint8_t* data, const Conversion& once) {
    const std::vector<uint8_t>& out = once.output;
    require(out.size() >= HEADER_SIZE, "output holds a header");
    const uint32_t indexOffset = le32(out, 4);
    const uint32_t count = le32(out, 8);
    require(count == loadLe32(data + 8), "entry count kept");
    require(indexOffset % ALIGNMENT == 0, "index on 16");
    require(uint64_t(indexOffset) + uint64_t(count) * ENTRY_SIZE == out.size(),
            "file ends with the index");
    const uint32_t inputIndex = loadLe32(data + 4);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = indexOffset + size_t(i) * ENTRY_SIZE;
        require(le32(out, at + 4) % ALIGNMENT == 0, "block on 16");
        require(le32(out, at + 8) == loadLe32(data + inputIndex + size_t(i) * ENTRY_SIZE + 8),
                "entry count and order kept");
    }
    require(logHasTwoLinesPerEntry(once.log, count), "two log lines per entry");
    require(once.report.compare(0, 16, "Strings Found: \n") == 0, "report heading");

    const Conversion twice = convertBytes(out.data(), out.size());
    require(twice.status == LoadStatus::Loaded, "output accepted");
    require(twice.output == out, "converting again changes nothing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Conversion once = convertBytes(data, size);
    if (once.status == LoadStatus::Rejected) {
        require(once.output.empty() && once.log.empty() && once.report.empty(),
                "a refused input yields nothing");
        return 0;
    }
    checkAccepted(data, once);
    return 0;
}
