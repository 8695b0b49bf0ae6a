#include "report.h"

#include <algorithm>
#include <cstring>

namespace {

// Appends a tab, the text with each control character shown as one '?', and a line end.
// Bytes map one to one unless the text holds a 0xC2, which may start a two-byte C1
// control.
void appendShown(std::string& report, const uint8_t* text, size_t length) {
    const size_t start = report.size();
    report.resize(start + length + 2);
    char* at = &report[start];
    *at++ = '\t';
    const bool mayHoldC1 = std::memchr(text, 0xC2, length) != nullptr;
    for (size_t k = 0; k < length; ++k) {
        const bool c1 = mayHoldC1 && text[k] == 0xC2 && k + 1 < length && text[k + 1] >= 0x80 &&
                        text[k + 1] <= 0x9F;
        *at++ = text[k] < 0x20 || text[k] == 0x7F || c1 ? '?' : char(text[k]);
        k += c1;
    }
    *at++ = '\n';
    report.resize(size_t(at - report.data()));
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

void reportString(std::string& report, Source& in, const Block& block) {
    // Almost every string lies in the first window, and is shown from there.
    const size_t first = size_t(std::min<uint64_t>(block.size, SOURCE_WINDOW));
    const uint8_t* bytes = sourceTake(in, block.offset, first);
    const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, first));
    if (end || first == block.size) {
        const size_t length = end ? size_t(end - bytes) : first;
        if (length > 0) {
            appendShown(report, bytes, length);
        }
        return;
    }
    std::string text(reinterpret_cast<const char*>(bytes), first);
    for (uint64_t at = first; at < block.size && in.error == 0;) {
        const size_t piece = size_t(std::min<uint64_t>(block.size - at, SOURCE_WINDOW));
        bytes = sourceTake(in, block.offset + at, piece);
        end = static_cast<const uint8_t*>(std::memchr(bytes, 0, piece));
        text.append(reinterpret_cast<const char*>(bytes), end ? size_t(end - bytes) : piece);
        at = end ? block.size : at + piece;
    }
    appendShown(report, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
