// The output byte sink: what the writer and the log write to.
#pragma once

#include "source.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// Output written through a large buffer to an open file, or where `memory` is given,
// appended to it; large writes bypass the buffer. The first failed write is
// remembered in `error` and later writes are dropped, so callers check once, at the end.
struct Sink {
    int fd = -1;
    std::vector<uint8_t>* memory = nullptr;
    std::unique_ptr<uint8_t[]> buffer;
    size_t used = 0;
    size_t capacity = 0;
    uint64_t flushed = 0;
    int error = 0;
};

// Writes below this size are copied into the buffer while it has room.
constexpr size_t SINK_SMALL_WRITE = 4096;

void sinkWriteSlow(Sink& sink, const void* data, size_t size);
uint8_t* sinkReserveSlow(Sink& sink, size_t size);

inline void sinkWrite(Sink& sink, const void* data, size_t size) {
    if (size < SINK_SMALL_WRITE && size <= sink.capacity - sink.used && sink.capacity != 0) {
        std::memcpy(sink.buffer.get() + sink.used, data, size);
        sink.used += size;
        return;
    }
    sinkWriteSlow(sink, data, size);
}

// Room for `size` bytes at the end of the sink, to be filled by the caller at once.
inline uint8_t* sinkReserve(Sink& sink, size_t size) {
    if (size <= sink.capacity - sink.used && sink.capacity != 0) {
        uint8_t* at = sink.buffer.get() + sink.used;
        sink.used += size;
        return at;
    }
    return sinkReserveSlow(sink, size);
}

void sinkCopySlow(Sink& sink, Source& source, uint64_t offset, uint64_t size);

// Writes `size` bytes of the source from `offset` on, a window at a time.
inline void sinkCopy(Sink& sink, Source& source, uint64_t offset, uint64_t size) {
    if (size < SINK_SMALL_WRITE) {
        sinkWrite(sink, sourceTake(source, offset, size_t(size)), size_t(size));
        return;
    }
    sinkCopySlow(sink, source, offset, size);
}
// Overwrites four bytes already written, at `position` from the start.
void sinkPatch32(Sink& sink, uint64_t position, uint32_t value);
// Writes out what is buffered; true unless a write has failed.
bool sinkFlush(Sink& sink);
inline uint64_t sinkPosition(const Sink& sink) {
    return sink.flushed + sink.used;
}
