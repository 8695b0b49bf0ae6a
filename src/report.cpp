#include "report.h"

#include <cstring>

namespace {

// Writes `value` in decimal at `to` and returns the end.
char* formatDecimal(char* to, uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        *to++ = digits[--n];
    }
    return to;
}

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
    const uint32_t size = entry.count == 0 ? 0 : uint32_t(written / entry.count);
    char line[40] = "Tag: ";
    char* at = line + 5;
    for (int shift = 24; shift >= 0; shift -= 8) {
        *at++ = char((entry.tag >> shift) & 0xFF);
    }
    std::memcpy(at, "\n\tsize:", 7);
    at = formatDecimal(at + 7, size);
    *at++ = '\n';
    sinkWrite(log, line, size_t(at - line));
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
