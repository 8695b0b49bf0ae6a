#include "sink.h"

#include "format.h"
#include "platform.h"

#include <algorithm>

namespace {

// A sink flushes once this much is buffered; a write of half as much or more bypasses
// the buffer. Small enough to stay in the cache while it fills.
constexpr size_t SINK_CAPACITY = size_t(1) << 17;

// Writes bytes out past the buffer: to the file, or to memory.
void putOut(Sink& sink, const void* data, size_t size) {
    if (sink.memory) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        sink.memory->insert(sink.memory->end(), bytes, bytes + size);
    } else if (sink.error == 0) {
        writeAll(sink.fd, data, size, sink.error);
    }
    sink.flushed += size;
}

// Makes room for `size` more bytes (at most the buffer's capacity): the buffer is
// made on first use, and written out when full.
void makeRoom(Sink& sink, size_t size) {
    if (sink.capacity == 0) {
        sink.buffer.reset(new uint8_t[SINK_CAPACITY]);
        sink.capacity = SINK_CAPACITY;
    }
    if (sink.used + size > sink.capacity) {
        sinkFlush(sink);
    }
}

} // namespace

bool sinkFlush(Sink& sink) {
    if (sink.used > 0) {
        putOut(sink, sink.buffer.get(), sink.used);
        sink.used = 0;
    }
    return sink.error == 0;
}

void sinkWriteSlow(Sink& sink, const void* data, size_t size) {
    if (size == 0) {
        return;
    }
    if (size >= SINK_CAPACITY / 2) {
        sinkFlush(sink);
        putOut(sink, data, size);
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

void sinkCopySlow(Sink& sink, Source& source, uint64_t offset, uint64_t size) {
    if (source.memory) {
        sinkWrite(sink, source.memory + offset, size_t(size));
        return;
    }
    while (size > 0 && source.error == 0) {
        const size_t piece = size_t(std::min<uint64_t>(size, SOURCE_WINDOW));
        sinkWrite(sink, sourceTake(source, offset, piece), piece);
        offset += piece;
        size -= piece;
    }
}

void sinkPatch32(Sink& sink, uint64_t position, uint32_t value) {
    uint8_t bytes[4];
    storeLe32(bytes, value);
    if (position >= sink.flushed && position + sizeof bytes <= sinkPosition(sink)) {
        std::memcpy(sink.buffer.get() + (position - sink.flushed), bytes, sizeof bytes);
        return;
    }
    sinkFlush(sink);
    if (sink.memory && position + sizeof bytes <= sink.memory->size()) {
        std::memcpy(sink.memory->data() + position, bytes, sizeof bytes);
    } else if (sink.error == 0) {
        writeAt(sink.fd, position, bytes, sizeof bytes, sink.error);
    }
}
