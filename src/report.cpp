#include "report.h"

#include <cstring>

namespace {

// Writes a tab, the string with each control character shown as one '?', and a line
// end at `at`; returns the end. Bytes map one to one unless the string holds a 0xC2,
// which may start a two-byte C1 control.
char* writeShown(char* at, const uint8_t* text, size_t length) {
    *at++ = '\t';
    if (!std::memchr(text, 0xC2, length)) {
        for (size_t k = 0; k < length; ++k) {
            at[k] = text[k] < 0x20 || text[k] == 0x7F ? '?' : char(text[k]);
        }
        at += length;
    } else {
        for (size_t k = 0; k < length; ++k) {
            const bool c1 =
                text[k] == 0xC2 && k + 1 < length && text[k + 1] >= 0x80 && text[k + 1] <= 0x9F;
            *at++ = text[k] < 0x20 || text[k] == 0x7F || c1 ? '?' : char(text[k]);
            k += c1;
        }
    }
    *at++ = '\n';
    return at;
}

} // namespace

void writeLogEntry(Sink& log, const IndexEntry& entry, uint64_t written) {
    uint32_t size = entry.count == 0 ? 0 : uint32_t(written / entry.count);
    const size_t digits = size < 10           ? 1
                          : size < 100        ? 2
                          : size < 1000       ? 3
                          : size < 10000      ? 4
                          : size < 100000     ? 5
                          : size < 1000000    ? 6
                          : size < 10000000   ? 7
                          : size < 100000000  ? 8
                          : size < 1000000000 ? 9
                                              : 10;
    // A copy, so that the bytes written below cannot be taken to change it.
    const uint32_t tag = entry.tag;
    // "Tag: " and the letters (most significant first, as they read), "\n\tsize:" and
    // the digits, "\n": written in place.
    uint8_t* const line = sinkReserve(log, 16 + digits + 1);
    std::memcpy(line, "Tag: ", 5);
    line[5] = uint8_t(tag >> 24);
    line[6] = uint8_t(tag >> 16);
    line[7] = uint8_t(tag >> 8);
    line[8] = uint8_t(tag);
    std::memcpy(line + 9, "\n\tsize:", 7);
    for (size_t k = digits; k-- > 0; size /= 10) {
        line[16 + k] = uint8_t('0' + size % 10);
    }
    line[16 + digits] = '\n';
}

void writeStringsReport(const BlockSet& set, std::string& out) {
    static const char heading[] = "Strings Found: \n";
    // Room for the heading and every CHAR block whole with its tab and line end: the
    // report is never longer, and is written without moving.
    uint64_t room = sizeof heading;
    for (size_t i = 0; i < set.entries.size(); ++i) {
        room += set.entries[i].tag == TAG_CHAR ? uint64_t(set.sizes[i]) + 2 : 0;
    }
    const size_t start = out.size();
    out.resize(start + size_t(room));
    char* at = &out[start];
    std::memcpy(at, heading, sizeof heading - 1);
    at += sizeof heading - 1;
    const uint8_t* text = set.bytes;
    for (size_t i = 0; i < set.entries.size(); text += set.sizes[i], ++i) {
        const uint32_t span = set.sizes[i];
        if (set.entries[i].tag != TAG_CHAR || span == 0 || text[0] == 0) {
            continue;
        }
        const void* end = std::memchr(text, 0, span);
        const size_t length = end ? size_t(static_cast<const uint8_t*>(end) - text) : span;
        at = writeShown(at, text, length);
    }
    out.resize(size_t(at - out.data()));
}
