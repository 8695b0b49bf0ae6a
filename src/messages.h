// Every line the program prints, built here: the usage text, a refused input's reason,
// a file that could not be used, and what a run left where it could not do otherwise.
#pragma once

#include "container.h"
#include "platform.h"

#include <string>

extern const char* const NOT_M3;

// The words for an error of a failed call: the program's own, or the system's.
std::string errorText(int error);
// "Cannot <verb> "<path>": <reason>", the line for a file that could not be used.
std::string ioProblem(const char* verb, const std::string& path, int error);
// The second line printed for a rejected input, naming the numbers involved; empty
// for a wrong magic, which is reported by the first line alone.
std::string describeFault(const FaultInfo& fault);
// "This is not a valid M3 file.", and for every fault but a wrong magic a second line
// naming the numbers involved.
std::string rejection(const FaultInfo& fault);
// The two lines of the usage text.
std::string usageText();
// The line for a second file named on the command line, which is not converted.
std::string notConverted(const std::string& path);
// The line for a temporary of the file at `path` that could not be removed.
std::string leftTemporary(const std::string& path, const std::string& name, int error);
// The line for a new log left beside the earlier output, the earlier log not kept.
std::string newLogLeft(const std::string& logPath, const std::string& outputPath, int error);
// The line for a file in place whose folder could not be written out to its disk.
std::string notFlushed(const std::string& path, int error);
// The line naming where a copy of the earlier log, which could not be put back or
// removed, is kept: `backup` in the folder of the log at `logPath`.
std::string keptBackup(const std::string& logPath, const std::string& backup, bool putBack,
                       int error);
