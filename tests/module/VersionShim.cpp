// Preloaded into a host, this stands in for the core's version query: it
// reports SORN_TEST_CORE_VERSION (the real text when unset).
#include <cstdlib>

#include "core_contract/SornVersion.h"

class __attribute__((visibility("default"))) Versioning {
public:
    static const char* GetVersion();
};

const char* Versioning::GetVersion() {
    const char* version = std::getenv("SORN_TEST_CORE_VERSION");
    return version ? version : sorn::kVersion;
}
