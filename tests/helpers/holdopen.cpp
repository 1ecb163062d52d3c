// Test helper of the Windows build: holds a file open as a running program
// holds its executable, until its standard input ends.
//   holdopen FILE read     others may read the file only
//   holdopen FILE delete   others may also rename and delete it
// Prints "ready" once the file is open; status 1 when it cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: holdopen FILE read|delete\n", stderr);
        return 2;
    }
    DWORD share = FILE_SHARE_READ;
    if (std::wcscmp(argv[2], L"delete") == 0) share |= FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "holdopen: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(h);
    return 0;
}
