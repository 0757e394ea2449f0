// sorn: records, plays, tracks pitch, reads and sets volume, runs the demo.
#include <cstdio>
#include <cstring>

#include "core_contract/SornDataSys.h"
#include "module/ModuleInfo.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "version") == 0) {
        std::printf("core %s, module built for %s\n", Versioning::GetVersion(), SornModuleVersion());
        return 0;
    }
    std::printf("sorn: core %s; the demo is not available yet\n", Versioning::GetVersion());
    return 0;
}
