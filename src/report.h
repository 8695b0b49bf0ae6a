// The conversion log ("Logfile.txt") and the strings report on the console.
#pragma once

#include "format.h"
#include "sink.h"

#include <cstdint>
#include <string>

constexpr const char* LOG_NAME = "Logfile.txt";

// Two lines for one written block: its tag after the rules, and the bytes written
// for it before alignment divided by its element count (0 when it has none).
void writeLogEntry(Sink& log, const IndexEntry& entry, uint64_t written);

// The strings report's first line; a line follows for each CHAR block whose first byte
// is not 0.
constexpr const char* REPORT_HEADING = "Strings Found: \n";
// Adds the first string of the CHAR block, read from `in`, as a line of the report: a
// tab and the string up to its 0 byte (or the block's end), each control character in
// it (C0, DEL, and C1 in UTF-8) shown as one '?', so that no model can send the
// terminal a command.
void reportString(std::string& report, Source& in, const Block& block);
