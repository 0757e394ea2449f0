#pragma once
// The core's process-wide service registry, and its version.
#include <functional>

#include "core_contract/Codec.h"
#include "core_contract/Handlers.h"

class ISornInterface;

// Every member is safe to call from any thread. The registry does not
// destroy the services installed in it: they live as long as the process
// (or until their owner removes and destroys them).
class SORN_CORE_API SornDataSys {
public:
    static void ErrorHandler(IErrorHandler* handler);  // null removes
    static IErrorHandler* ErrorHandler();
    static void ResourceHandler(IResourceHandler* handler);
    static IResourceHandler* ResourceHandler();
    static void PluginHandler(IPluginHandler* handler);
    static IPluginHandler* PluginHandler();
    static void ClassFactory(ISornInterface* factory);
    static ISornInterface* ClassFactory();
    static void FileHandler(IFileHandler* handler);
    static IFileHandler* FileHandler();

    static ICodecHandler* CodecHandler();

    // Error and warning reports. By default each becomes one line on stderr.
    static void Error(char* text, char* text2, char* text3, char* text4, int number);
    static void Warning(char* text, char* text2);

    // Observation, for hosts and tests: every report, every service
    // installation and every codec registration that takes effect is passed
    // to the observer (instead of stderr for reports).
    enum class Event {
        Error, Warning, ErrorHandler, ResourceHandler, PluginHandler, ClassFactory, FileHandler,
        CodecRegistered, CodecUnregistered
    };
    struct Report {
        Event event;
        const char* text;   // reports: first text (may be null); codecs: the key
        const char* text2;  // reports: second text (may be null)
        const void* service;  // installations: the service (null: removed); codecs: the codec
    };
    using Observer = std::function<void(const Report&)>;
    static void SetObserver(Observer observer);  // empty: back to stderr
};

class SORN_CORE_API Versioning {
public:
    // "2.0.455.1". Tests of version checks preload a stand-in for this
    // query (tests/module/VersionShim.cpp); the core has no switch for it.
    static const char* GetVersion();
};
