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

// Appends a tab, the string with its control characters shown as '?', and a line end.
void appendShown(std::string& out, const uint8_t* text, size_t length) {
    out += '\t';
    size_t plain = 0;
    for (size_t k = 0; k < length; ++k) {
        const bool c1 =
            text[k] == 0xC2 && k + 1 < length && text[k + 1] >= 0x80 && text[k + 1] <= 0x9F;
        if (text[k] < 0x20 || text[k] == 0x7F || c1) {
            out.append(reinterpret_cast<const char*>(text + plain), k - plain);
            out += '?';
            k += c1;
            plain = k + 1;
        }
    }
    out.append(reinterpret_cast<const char*>(text + plain), length - plain);
    out += '\n';
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
    out += "Strings Found: \n";
    const uint8_t* text = set.bytes;
    for (size_t i = 0; i < set.entries.size(); text += set.sizes[i], ++i) {
        const uint32_t span = set.sizes[i];
        if (set.entries[i].tag != TAG_CHAR || span == 0 || text[0] == 0) {
            continue;
        }
        const void* end = std::memchr(text, 0, span);
        const size_t length = end ? size_t(static_cast<const uint8_t*>(end) - text) : span;
        appendShown(out, text, length);
    }
}
