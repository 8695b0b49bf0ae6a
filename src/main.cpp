#include "run.h"

#ifdef _WIN32
#include "platform_windows.h"

// Asks the MinGW start-up code to expand wildcard patterns in the arguments, as the
// Windows runtime this tool is made for does, before main counts them.
int _dowildcard = -1;

// The arguments arrive as UTF-16, so that a file of any name can be dropped on the
// program; the rest of it works in UTF-8.
int wmain(int argc, wchar_t** argv) {
    const std::vector<std::string> args = utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& arg : args) {
        pointers.push_back(arg.c_str());
    }
    const unsigned codePage = useUtf8Console();
    const int status = runTool(argc, pointers.data());
    restoreConsole(codePage);
    return status;
}
#else
int main(int argc, char** argv) {
    return runTool(argc, argv);
}
#endif
