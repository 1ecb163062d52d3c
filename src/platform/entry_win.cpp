// The Windows build's entry point: the command line comes as UTF-16 (the
// executable is linked with -municode) and is handed on as UTF-8, once, so
// that every text of the run is UTF-8 on every host.
#ifdef _WIN32

#include <string>
#include <vector>

#include "run/run.h"
#include "platform/wide.h"

// Console output in UTF-16 (platform_win.cpp).
void startconsoleoutput();

int wmain(int argc, wchar_t** argv) {
    startconsoleoutput();
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    for (int i = 0; i < argc; i++) args.push_back(narrowtext(argv[i]));
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    return runmain(argc, pointers.data());
}

#endif  // _WIN32
