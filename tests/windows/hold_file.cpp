// hold_file PATH...: opens each file for reading through the C run-time, as
// a back-office program that reads the sale file would, and keeps them open
// until it is ended (at most ten minutes). Prints "HOLDING" once they are
// all open. For the Windows end-to-end run under Wine.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::FILE*> files;
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = _wfopen(argv[i], L"rb");
        if (!file) {
            std::fwprintf(stderr, L"hold_file: cannot open %ls\n", argv[i]);
            return 1;
        }
        files.push_back(file);
    }
    std::puts("HOLDING");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::minutes(10));
    for (std::FILE* file : files) {
        std::fclose(file);
    }
    return 0;
}
