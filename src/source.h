// The input's bytes as the reader and the writer take them: read forward from the open
// input through a buffer, or straight from memory. The mirror of the sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Reads from the file `fd` of `size` bytes, or where `memory` is given, from there. The
// first failed read is remembered in `error` (CHANGED_WHILE_READ for an input that ended
// before its size); later reads give zeros, so callers check once, at the end.
struct Source {
    int fd = -1;
    const uint8_t* memory = nullptr;
    uint64_t size = 0;
    std::unique_ptr<uint8_t[]> buffer;
    // Where in the input the buffer's first byte is, and how many bytes it holds.
    uint64_t start = 0;
    size_t held = 0;
    int error = 0;
};

// The most that sourceTake gives at once: the buffer's size.
constexpr size_t SOURCE_WINDOW = size_t(1) << 17;

// Copies `size` bytes at `offset` into `dest`, straight from the file: false, with the
// source's error set, where the input does not hold them all.
bool readBuffer(Source& source, uint64_t offset, uint64_t size, uint8_t* dest);

const uint8_t* sourceTakeSlow(Source& source, uint64_t offset, size_t size);

// The `size` bytes at `offset` (at most SOURCE_WINDOW, all inside the input), valid
// until the source is used again.
inline const uint8_t* sourceTake(Source& source, uint64_t offset, size_t size) {
    if (source.memory) {
        return source.memory + offset;
    }
    if (offset >= source.start && offset - source.start + size <= source.held) {
        return source.buffer.get() + (offset - source.start);
    }
    return sourceTakeSlow(source, offset, size);
}
