#include "messages.h"

namespace {

std::string printableTag(uint32_t tag) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((tag >> shift) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

std::string entryName(const FaultInfo& f) {
    return "Index entry " + std::to_string(f.entry) + " (" + printableTag(f.item.tag) + ")";
}

} // namespace

const char* const NOT_M3 = "This is not a valid M3 file.";

std::string describeFault(const FaultInfo& f) {
    switch (f.fault) {
    case Fault::None:
    case Fault::WrongMagic:
        return "";
    case Fault::TruncatedHeader:
        return "The header is cut short: the file is " + std::to_string(f.fileSize) +
               " bytes long, the header needs " + std::to_string(HEADER_SIZE) + ".";
    case Fault::NoBlocks:
        return "The index has no entries, so the file holds no blocks.";
    case Fault::IndexPastEnd:
        return "The index at offset " + std::to_string(f.indexOffset) + " ends at byte " +
               std::to_string(f.indexEnd) + ", past the end of the file at byte " +
               std::to_string(f.fileSize) + ".";
    case Fault::FirstNotAtZero:
        return entryName(f) + " starts at offset " + std::to_string(f.item.offset) +
               "; the first block must start at offset 0.";
    case Fault::FirstShorterThanHeader:
        return entryName(f) + " is " + std::to_string(f.blockSize) +
               " bytes long, shorter than the " + std::to_string(HEADER_SIZE) + "-byte header.";
    case Fault::OffsetBeforePrevious:
        return entryName(f) + " starts at offset " + std::to_string(f.item.offset) +
               ", before the previous entry at offset " + std::to_string(f.previousOffset) + ".";
    case Fault::LastBeyondIndex:
        return entryName(f) + " starts at offset " + std::to_string(f.item.offset) +
               ", beyond the index at offset " + std::to_string(f.indexOffset) + ".";
    case Fault::ElementsPastBlock:
        return entryName(f) + ", version " + std::to_string(f.item.version) + ", holds " +
               std::to_string(f.item.count) + " elements of " + std::to_string(f.stride) +
               " bytes, " + std::to_string(f.neededSize) + " bytes in all, but its block is only " +
               std::to_string(f.blockSize) + " bytes long.";
    case Fault::FirstBlockEmpty:
        return entryName(f) + ", version " + std::to_string(f.item.version) +
               ", has no elements, so the first block would be written empty.";
    case Fault::OutputTooLarge:
        return "The converted file would be " + std::to_string(f.outputSize) +
               " bytes up to its index, too large for 32-bit offsets.";
    }
    return "";
}

std::string errorText(int error) {
    switch (error) {
    case ENDED_EARLY:
        return "the file ended early";
    case NOT_REGULAR_FILE:
        return "Not a regular file";
    case IS_THE_INPUT:
        return "it is the input file";
    case IS_THE_OUTPUT:
        return "it is the output file";
    case CHANGED_WHILE_READ:
        return "the file changed or failed while it was being read";
    case NO_MATCH:
        return "no file matches it";
    case OUT_OF_MEMORY:
        return "Cannot allocate memory";
    case NOTHING_WRITTEN:
        return "No space left on device";
    case NOT_FOUND:
        return "No such file or directory";
    case ALREADY_EXISTS:
        return "File exists";
    case IS_A_FOLDER:
        return "Is a directory";
    case NO_UNNAMED_FILES:
        return "Files without a name are not supported here";
    case NO_HARD_LINKS:
        return "Hard links are not supported here";
    case SOURCE_FAULTED:
        return "the bytes to write could not be read";
    case DEVICE_NAME:
        return "Not a regular file: Windows keeps this name for a device";
    case LINK_UNRESOLVED:
        return "the system cannot say where this link leads";
    case NO_MARKS:
        return "Files cannot be marked to go here";
    default:
        return systemErrorText(error);
    }
}

std::string ioProblem(const char* verb, const std::string& path, int error) {
    return std::string("Cannot ") + verb + " \"" + path + "\": " + errorText(error);
}

std::string rejection(const FaultInfo& fault) {
    const std::string reason = describeFault(fault);
    return reason.empty() ? NOT_M3 : std::string(NOT_M3) + "\n" + reason;
}

std::string usageText() {
    return "Drag an m3 file to this tool.\nor do Tarvelin <filename> -c.";
}

std::string notConverted(const std::string& path) {
    return "\"" + path + "\" was not converted: Tarvelin converts one file at a time.";
}

std::string leftTemporary(const std::string& path, const std::string& name, int error) {
    return "A temporary file for \"" + path + "\" could not be removed (" + errorText(error) +
           "): it is left as \"" + name + "\" in that file's folder.";
}

std::string newLogLeft(const std::string& logPath, const std::string& outputPath, int error) {
    return "\"" + logPath + "\" is the new log, beside the earlier \"" + outputPath +
           "\": the earlier log could not be kept (" + errorText(error) + ").";
}

std::string notFlushed(const std::string& path, int error) {
    return "\"" + path + "\" is in place, but its folder could not be written to disk (" +
           errorText(error) + "): a power cut now may undo it.";
}

std::string keptBackup(const std::string& logPath, const std::string& backup, bool putBack,
                       int error) {
    return std::string(putBack ? "The earlier \"" : "A copy of the earlier \"") + logPath +
           (putBack ? "\" could not be put back (" : "\" could not be removed (") +
           errorText(error) + "): it is kept as \"" + backup + "\" in the log's folder.";
}
