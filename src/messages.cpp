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
    case CHANGED_WHILE_READ:
        return "the file changed or failed while it was being read";
    case NOT_REGULAR_FILE:
        return "Not a regular file";
    case IS_THE_INPUT:
        return "it is the input file";
    case IS_THE_OUTPUT:
        return "it is the output file";
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
    case DEVICE_NAME:
        return "Not a regular file: Windows keeps this name for a device";
    case LINK_UNRESOLVED:
        return "the system cannot say where this link leads";
    default:
        return systemErrorText(error);
    }
}

std::string describe(const Failure& f) {
    const std::string path = "\"" + f.path + "\"";
    const std::string reason = errorText(f.error);
    switch (f.action) {
    case Action::Open:
        return "Cannot open " + path + ": " + reason;
    case Action::Read:
        return "Cannot read " + path + ": " + reason;
    case Action::Create:
        return "Cannot create " + path + ": " + reason;
    case Action::Write:
        return "Cannot write " + path + ": " + reason;
    case Action::ReplaceLog:
        return "The model was converted, but " + path + " could not be put in place: " + reason;
    case Action::RemoveTemporary:
        return "A temporary file for " + path + " could not be removed (" + reason +
               "): it is left as \"" + f.left + "\" in that file's folder.";
    case Action::FlushFolder:
        return path + " is in place, but its folder could not be written to disk (" + reason +
               "): a power cut now may undo it.";
    }
    return "";
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
