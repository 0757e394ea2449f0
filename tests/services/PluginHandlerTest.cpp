// ResPluginHandlerWin with plug-ins built for these tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "RegistryLog.h"
#include "ServicesTestSupport.h"
#include "TempDir.h"
#include "core_contract/SornDataSys.h"
#include "platform/Modules.h"
#include "services/ResPluginHandlerWin.h"

using SornData::ResPluginHandlerWin;
using ::testing::ElementsAre;
using sorn::test::RegistryLog;

namespace {

// Records every look-up with the error mode in force at that moment.
class LookUpSpy : public ResPluginHandlerWin {
public:
    void* GetProcAddress(void* library, char* name) override {
        lookUps.push_back(name);
        modes.push_back(GetErrorMode());
        return ResPluginHandlerWin::GetProcAddress(library, name);
    }
    std::vector<std::string> lookUps;
    std::vector<UINT> modes;
};

}  // namespace

TEST(PluginHandler, AttachReplacesBothEntryPointsEveryTime) {
    ResPluginHandlerWin handler;
    IResourceHandler& resources = handler;
    EXPECT_EQ(resources.GetResourceSize(4), 0u);  // nothing attached yet
    void* data = &handler;
    unsigned int size = 77;
    resources.LoadFromResource(4, &data, &size);
    EXPECT_EQ(data, &handler);  // outputs untouched
    EXPECT_EQ(size, 77u);

    void* first = handler.AttachPlugin(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(resources.GetResourceSize(4), 401u);
    resources.LoadFromResource(4, &data, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(static_cast<unsigned int*>(data)[0], 1004u);
    EXPECT_EQ(reinterpret_cast<void*>(resources.GetResFuncs().getResourceSize), handler.GetProcAddress(first, const_cast<char*>("GetResourceSize")));

    // A second plug-in takes over; the first stays loaded.
    void* second = handler.AttachPlugin(SORN_TEST_PLUGIN_SECOND);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(resources.GetResourceSize(4), 402u);
    resources.LoadFromResource(5, &data, &size);
    EXPECT_EQ(static_cast<unsigned int*>(data)[0], 2005u);

    // Only "LoadFromResource": the size entry point becomes empty.
    void* loadOnly = handler.AttachPlugin(SORN_TEST_PLUGIN_LOAD_ONLY);
    ASSERT_NE(loadOnly, nullptr);
    EXPECT_EQ(resources.GetResFuncs().getResourceSize, nullptr);
    EXPECT_NE(resources.GetResFuncs().loadFromResource, nullptr);
    EXPECT_EQ(resources.GetResourceSize(4), 0u);
    resources.LoadFromResource(6, &data, &size);
    EXPECT_EQ(static_cast<unsigned int*>(data)[0], 3006u);

    // A library that cannot be loaded: null, and both entry points empty.
    TempDir dir;
    dir.File("fake.so", "not a library\n");
    EXPECT_EQ(handler.AttachPlugin((dir / "fake.so").c_str()), nullptr);
    EXPECT_EQ(resources.GetResFuncs().getResourceSize, nullptr);
    EXPECT_EQ(resources.GetResFuncs().loadFromResource, nullptr);
    data = nullptr;
    resources.LoadFromResource(6, &data, &size);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(handler.AttachPlugin(""), nullptr);

    EXPECT_EQ(handler.FreePlugin(loadOnly), 1);
    EXPECT_EQ(handler.FreePlugin(second), 1);
    EXPECT_EQ(handler.FreePlugin(first), 1);
    EXPECT_EQ(handler.FreePlugin(nullptr), 0);
}

TEST(PluginHandler, AttachLooksUpThroughItsOwnGetProcAddressWithErrorsSilenced) {
    const UINT old = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    LookUpSpy spy;
    void* library = spy.AttachPlugin(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(library, nullptr);
    EXPECT_THAT(spy.lookUps, ElementsAre("GetResourceSize", "LoadFromResource"));
    EXPECT_THAT(spy.modes, ElementsAre(SEM_FAILCRITICALERRORS, SEM_FAILCRITICALERRORS));
    EXPECT_EQ(GetErrorMode(), 0u);  // the platform's default, not what was there before

    // A failed load looks up with the null handle, which finds nothing.
    spy.lookUps.clear();
    EXPECT_EQ(spy.AttachPlugin("/no/such/plugin.so"), nullptr);
    EXPECT_EQ(spy.lookUps.size(), 2u);
    EXPECT_EQ(spy.GetResFuncs().getResourceSize, nullptr);
    EXPECT_EQ(spy.FreePlugin(library), 1);
    SetErrorMode(old);
}

TEST(PluginHandler, DestructionRemovesThePluginFaceThenTheResourceFace) {
    for (bool throughResourceFace : {true, false}) {
        SCOPED_TRACE(throughResourceFace ? "deleted through the resource face" : "deleted through the plug-in face");
        RegistryLog log;
        auto* handler = new ResPluginHandlerWin();
        IResourceHandler* resourceFace = handler;
        IPluginHandler* pluginFace = handler;
        ASSERT_NE(static_cast<void*>(resourceFace), static_cast<void*>(pluginFace));
        SornDataSys::ResourceHandler(resourceFace);
        SornDataSys::PluginHandler(pluginFace);
        if (throughResourceFace) {
            resourceFace->Delete();
        } else {
            pluginFace->Delete();
        }
        EXPECT_EQ(SornDataSys::PluginHandler(), nullptr);
        EXPECT_EQ(SornDataSys::ResourceHandler(), nullptr);
        const auto seen = log.Entries({SornDataSys::Event::PluginHandler, SornDataSys::Event::ResourceHandler});
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_EQ(seen[0].event, SornDataSys::Event::ResourceHandler);
        EXPECT_EQ(seen[0].service, resourceFace);
        EXPECT_EQ(seen[1].event, SornDataSys::Event::PluginHandler);
        EXPECT_EQ(seen[1].service, pluginFace);
        EXPECT_EQ(seen[2].event, SornDataSys::Event::PluginHandler);
        EXPECT_EQ(seen[2].service, nullptr);
        EXPECT_EQ(seen[3].event, SornDataSys::Event::ResourceHandler);
        EXPECT_EQ(seen[3].service, nullptr);
    }
}

TEST(PluginHandler, CopiesKeepTheEntryPoints) {
    ResPluginHandlerWin handler;
    void* library = handler.AttachPlugin(SORN_TEST_PLUGIN_SECOND);
    ASSERT_NE(library, nullptr);
    ResPluginHandlerWin copy(handler);
    EXPECT_EQ(static_cast<IResourceHandler&>(copy).GetResourceSize(1), 102u);
    ResPluginHandlerWin assigned;
    assigned = handler;
    EXPECT_EQ(static_cast<IResourceHandler&>(assigned).GetResourceSize(3), 302u);
    EXPECT_EQ(handler.FreePlugin(library), 1);
}

TEST(PluginHandler, ResourcesMayBeReadWhileAnotherThreadAttaches) {
    ResPluginHandlerWin handler;
    void* second = handler.AttachPlugin(SORN_TEST_PLUGIN_SECOND);
    void* first = handler.AttachPlugin(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::thread reader([&] {
        IResourceHandler& resources = handler;
        while (!done.load()) {
            const unsigned size = resources.GetResourceSize(9);
            if (size != 901u && size != 902u) unexpected.fetch_add(1);
            // The core's own read of the entry points is as safe.
            const _ResFuncs funcs = resources.GetResFuncs();
            if (!funcs.getResourceSize || !funcs.loadFromResource) unexpected.fetch_add(1);
        }
    });
    for (int i = 0; i < 200; ++i) {
        // Both libraries stay loaded: each attach's use is given back at once.
        void* again = handler.AttachPlugin(i % 2 ? SORN_TEST_PLUGIN_FIRST : SORN_TEST_PLUGIN_SECOND);
        EXPECT_EQ(handler.FreePlugin(again), 1);
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(handler.FreePlugin(second), 1);
    EXPECT_EQ(handler.FreePlugin(first), 1);
}

TEST(PluginHandler, OnlyTheLoadedPluginsOwnEntryPointsAreEverCalled) {
    ResPluginHandlerWin handler;
    IResourceHandler& resources = handler;
    void* data = nullptr;
    unsigned int size = 0;

    // Freed, but still loaded by an earlier attach: still served.
    void* first = handler.AttachPlugin(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(handler.AttachPlugin(SORN_TEST_PLUGIN_FIRST), first);
    EXPECT_EQ(handler.FreePlugin(first), 1);
    EXPECT_EQ(resources.GetResourceSize(1), 101u);
    // Freed for good: nothing to call, nothing called.
    EXPECT_EQ(handler.FreePlugin(first), 1);
    HMODULE gone = nullptr;
    ASSERT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, SORN_TEST_PLUGIN_FIRST, &gone));
    EXPECT_EQ(resources.GetResourceSize(1), 0u);
    EXPECT_EQ(resources.GetResFuncs().getResourceSize, nullptr);
    EXPECT_EQ(resources.GetResFuncs().loadFromResource, nullptr);
    resources.LoadFromResource(1, &data, &size);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);

    // Freeing another library leaves the entry points of the last one alone.
    void* second = handler.AttachPlugin(SORN_TEST_PLUGIN_SECOND);
    void* loadOnly = handler.AttachPlugin(SORN_TEST_PLUGIN_LOAD_ONLY);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(loadOnly, nullptr);
    EXPECT_EQ(handler.FreePlugin(second), 1);
    resources.LoadFromResource(6, &data, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(static_cast<unsigned int*>(data)[0], 3006u);
    EXPECT_EQ(handler.FreePlugin(loadOnly), 1);

    // A function of a library the plug-in links is not the plug-in's.
    void* linked = handler.AttachPlugin(SORN_TEST_PLUGIN_WITH_DEPENDENCY);
    ASSERT_NE(linked, nullptr);
    EXPECT_EQ(resources.GetResFuncs().getResourceSize, nullptr);
    EXPECT_EQ(resources.GetResourceSize(5), 0u);
    EXPECT_EQ(handler.GetProcAddress(linked, const_cast<char*>("GetResourceSize")), nullptr);
    EXPECT_EQ(GetProcAddress(static_cast<HMODULE>(linked), "GetResourceSize"), nullptr);
    data = nullptr;
    resources.LoadFromResource(5, &data, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(static_cast<unsigned int*>(data)[0], 4005u);
    EXPECT_EQ(static_cast<unsigned int*>(data)[1], 777u);  // the plug-in itself may use it
    EXPECT_EQ(handler.FreePlugin(linked), 1);
}
