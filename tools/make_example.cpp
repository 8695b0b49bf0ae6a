// Writes the bundled example model: a header, blocks of the tags the downgrade rules
// act on, and CHAR strings, laid out on 16-byte boundaries as a newer exporter would.
#include "format.h"
#include "m3build.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_example <output.m3>\n", stdout);
        return 2;
    }
    const std::vector<BuildEntry> entries = {
        headerEntry(24),
        charEntry("Example_Unit"),
        elementsEntry(TAG_MODL, 28, 2, 844, 1),
        elementsEntry(TAG_LAYR, 26, 1, 464, 2),
        elementsEntry(TAG_REGN, 4, 2, 40, 3),
        elementsEntry(TAG_FOR_, 2, 3, 1, 4),
        elementsEntry(TAG_PHCL, 2, 1, 28, 5),
        elementsEntry(makeTag('S', 'E', 'Q', 'S'), 1, 1, 96, 6),
        charEntry("Stand"),
        charEntry("Textures/example_diffuse.dds"),
    };
    if (!writeFileBytes(argv[1], buildM3(entries, 16, 0, 0xAA))) {
        std::fputs("make_example: cannot write the file\n", stdout);
        return 1;
    }
    return 0;
}
