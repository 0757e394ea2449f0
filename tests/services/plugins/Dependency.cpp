// A library a plug-in links: it exports a "GetResourceSize" of its own, which
// a look-up in the plug-in must never find.
extern "C" __attribute__((visibility("default"))) unsigned int GetResourceSize(unsigned int) { return 777; }
