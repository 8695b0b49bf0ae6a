#include "sink.h"

#include "format.h"
#include "platform.h"

#include <algorithm>

namespace {

// A file sink flushes once this much is buffered; larger writes bypass the buffer.
constexpr size_t SINK_CAPACITY = size_t(1) << 20;

void growSink(Sink& sink, size_t needed) {
    size_t capacity = std::max(sink.capacity * 2, std::max(needed, SINK_CAPACITY));
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[capacity]);
    if (sink.used > 0) {
        std::memcpy(bigger.get(), sink.buffer.get(), sink.used);
    }
    sink.buffer = std::move(bigger);
    sink.capacity = capacity;
}

// Makes room for `size` more bytes: a file sink writes out what it holds, a memory
// sink grows.
void makeRoom(Sink& sink, size_t size) {
    if (sink.used + size <= sink.capacity) {
        return;
    }
    if (sink.fd >= 0) {
        sinkFlush(sink);
    }
    if (sink.used + size > sink.capacity) {
        growSink(sink, sink.used + size);
    }
}

} // namespace

bool sinkFlush(Sink& sink) {
    if (sink.fd >= 0 && sink.used > 0) {
        if (sink.error == 0) {
            writeAll(sink.fd, sink.buffer.get(), sink.used, sink.error);
        }
        sink.flushed += sink.used;
        sink.used = 0;
    }
    return sink.error == 0;
}

void sinkWriteSlow(Sink& sink, const void* data, size_t size) {
    if (size == 0) {
        return;
    }
    if (sink.fd >= 0 && size >= SINK_CAPACITY / 2) {
        sinkFlush(sink);
        if (sink.error == 0) {
            writeAll(sink.fd, data, size, sink.error);
        }
        sink.flushed += size;
        return;
    }
    makeRoom(sink, size);
    std::memcpy(sink.buffer.get() + sink.used, data, size);
    sink.used += size;
}

uint8_t* sinkReserveSlow(Sink& sink, size_t size) {
    makeRoom(sink, size);
    uint8_t* at = sink.buffer.get() + sink.used;
    sink.used += size;
    return at;
}

void sinkPatch32(Sink& sink, uint64_t position, uint32_t value) {
    uint8_t bytes[4];
    storeLe32(bytes, value);
    if (position >= sink.flushed && position + sizeof bytes <= sinkPosition(sink)) {
        std::memcpy(sink.buffer.get() + (position - sink.flushed), bytes, sizeof bytes);
        return;
    }
    sinkFlush(sink);
    if (sink.fd >= 0 && sink.error == 0) {
        writeAt(sink.fd, position, bytes, sizeof bytes, sink.error);
    }
}
