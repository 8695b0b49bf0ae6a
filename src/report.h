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

// "Strings Found: ", then the first string of every CHAR block, in index order, each
// control character in it (C0, DEL, and C1 in UTF-8) shown as one '?', so that no
// model can send the terminal a command.
void writeStringsReport(const BlockSet& set, std::string& out);
