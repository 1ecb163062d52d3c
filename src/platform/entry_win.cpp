// The Windows build's entry point: the command line comes as UTF-16 (the
// executable is linked with -municode) and is handed on as UTF-8, once, so
// that every text of the run is UTF-8 on every host.
#ifdef _WIN32

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/wide.h"

namespace {

UINT consolepage = 0;

void restoreconsole() { SetConsoleOutputCP(consolepage); }

// Messages and listings are UTF-8 bytes, as they go to pipes and files; a
// console shows them as such once its output code page is UTF-8, and gets
// its own page back when the run ends.
void consoleasutf8() {
    DWORD mode;
    bool console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
                   GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
    if (!console) return;
    consolepage = GetConsoleOutputCP();
    if (consolepage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    std::atexit(restoreconsole);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    consoleasutf8();
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    for (int i = 0; i < argc; i++) args.push_back(narrowtext(argv[i]));
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    return runmain(argc, pointers.data());
}

#endif  // _WIN32
