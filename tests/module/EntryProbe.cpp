// A library with an entry point that writes each reason it is called with
// (one digit) to the file SORN_TEST_ENTRY_LOG names, and refuses process
// attach while SORN_TEST_ENTRY_REFUSE is set.
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int DllMain(void*, unsigned reason, void*) {
    if (const char* path = std::getenv("SORN_TEST_ENTRY_LOG")) {
        if (std::FILE* log = std::fopen(path, "a")) {
            std::fprintf(log, "%u", reason);
            std::fclose(log);
        }
    }
    return reason == 1 && std::getenv("SORN_TEST_ENTRY_REFUSE") ? 0 : 1;
}
