// A plug-in for the plug-in handler's tests. PLUGIN_TAG tells the builds
// apart; PLUGIN_WITH_SIZE adds the "GetResourceSize" entry point;
// PLUGIN_USES_DEPENDENCY has it use the one of a library it links instead.
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
unsigned int resource[4] = {PLUGIN_TAG, PLUGIN_TAG + 1, PLUGIN_TAG + 2, PLUGIN_TAG + 3};
}

#ifdef PLUGIN_WITH_SIZE
PLUGIN_EXPORT unsigned int GetResourceSize(unsigned int id) { return id * 100 + PLUGIN_TAG; }
#endif
#ifdef PLUGIN_USES_DEPENDENCY
extern "C" unsigned int GetResourceSize(unsigned int id);
#endif

PLUGIN_EXPORT void LoadFromResource(unsigned int id, void** data, unsigned int* size) {
    resource[0] = PLUGIN_TAG * 1000 + id;
#ifdef PLUGIN_USES_DEPENDENCY
    resource[1] = GetResourceSize(id);
#endif
    *data = resource;
    *size = sizeof resource;
}
