#include "source.h"

#include "platform.h"

#include <algorithm>
#include <cassert>
#include <cstring>

bool readBuffer(Source& source, uint64_t offset, uint64_t size, uint8_t* dest) {
    if (offset > source.size || size > source.size - offset) {
        source.error = source.error != 0 ? source.error : CHANGED_WHILE_READ;
        return false;
    }
    if (source.memory) {
        std::memcpy(dest, source.memory + offset, size_t(size));
        return true;
    }
    for (uint64_t done = 0; done < size && source.error == 0;) {
        size_t got = 0;
        if (readInput(source.fd, offset + done, dest + done, size_t(size - done), got,
                      source.error) &&
            got == 0) {
            source.error = CHANGED_WHILE_READ;
        }
        done += got;
    }
    return source.error == 0;
}

// Fills the buffer from `offset` on, as far as it reaches; zeros once a read has failed,
// or where the input does not hold what is asked for.
const uint8_t* sourceTakeSlow(Source& source, uint64_t offset, size_t size) {
    assert(size <= SOURCE_WINDOW);
    if (!source.buffer) {
        source.buffer.reset(new uint8_t[SOURCE_WINDOW]);
    }
    const size_t fill =
        offset <= source.size ? size_t(std::min<uint64_t>(SOURCE_WINDOW, source.size - offset)) : 0;
    source.start = offset;
    source.held = 0;
    if (readBuffer(source, offset, std::max(fill, size), source.buffer.get())) {
        source.held = fill;
    } else {
        std::memset(source.buffer.get(), 0, size);
    }
    return source.buffer.get();
}
