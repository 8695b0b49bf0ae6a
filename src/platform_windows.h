// What only the Windows program has: names in UTF-16, the console's code page and the
// console control handler. Included by the Windows platform files, the Windows entry
// point and the Windows tests.
#pragma once

#ifdef _WIN32
#include <string>
#include <vector>

// Names travel through the program as UTF-8 and meet Windows as UTF-16. An unpaired
// surrogate, which Windows allows in a name, is carried as its own three-byte
// sequence, so every name converts both ways exactly.
std::string fromUtf16(const wchar_t* text);
std::wstring toUtf16(const std::string& text);
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
// Sets the console's output code page to UTF-8, so that names in messages show as
// themselves, and gives the one it had (0 without a console) for restoreConsole.
unsigned useUtf8Console();
void restoreConsole(unsigned codePage);
// Marks an open file to go when it is closed (delete on close), or takes the mark back.
// A file so marked cannot be opened by another program, nor renamed.
bool markToGo(int fd, bool marked, int& error);
// The console control handler: runs the cleanup given to installFatalHandlers, then
// lets the default handler end the process. Nonzero when it has handled the event alone.
int __stdcall handleConsoleControl(unsigned long event);
#endif
