// The service registry, the codec registry and the version.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/SornVersion.h"
#include "threading/Mutex.h"

namespace {

sorn::Mutex& RegistryMutex() {
    static sorn::Mutex mutex;
    return mutex;
}

struct Services {
    IErrorHandler* error = nullptr;
    IResourceHandler* resource = nullptr;
    IPluginHandler* plugin = nullptr;
    ISornInterface* factory = nullptr;
    IFileHandler* file = nullptr;
    std::shared_ptr<const SornDataSys::Observer> observer;
};

Services& State() SORN_REQUIRES(RegistryMutex()) {
    static Services services;
    return services;
}

std::shared_ptr<const SornDataSys::Observer> CurrentObserver() {
    sorn::MutexLock lock(RegistryMutex());
    return State().observer;
}

void Notify(SornDataSys::Event event, const char* text, const char* text2, const void* service) {
    auto observer = CurrentObserver();
    if (observer && *observer) (*observer)(SornDataSys::Report{event, text, text2, service});
}

template <typename T>
void Install(T Services::*slot, T value, SornDataSys::Event event) {
    {
        sorn::MutexLock lock(RegistryMutex());
        State().*slot = value;
    }
    Notify(event, nullptr, nullptr, value);
}

template <typename T>
T Read(T Services::*slot) {
    sorn::MutexLock lock(RegistryMutex());
    return State().*slot;
}

// The codec registry. It owns its codecs.
class CodecRegistry final : public ICodecHandler {
public:
    int RegisterCodec(const SornStringA& key, ICodec* codec) override {
        if (!codec) return 0;
        std::unique_ptr<ICodec> old;
        {
            sorn::MutexLock lock(mutex_);
            auto& slot = codecs_[key.ToChars()];
            if (slot.get() == codec) return 1;
            old = std::move(slot);
            slot.reset(codec);
        }
        Notify(SornDataSys::Event::CodecRegistered, key.ToChars(), nullptr, codec);
        return 1;
    }
    int UnregisterCodec(const SornStringA& key) override {
        std::unique_ptr<ICodec> old;
        {
            sorn::MutexLock lock(mutex_);
            auto it = codecs_.find(key.ToChars());
            if (it == codecs_.end()) return 0;
            old = std::move(it->second);
            codecs_.erase(it);
        }
        Notify(SornDataSys::Event::CodecUnregistered, key.ToChars(), nullptr, old.get());
        return 1;
    }
    ICodec* GetCodec(const SornStringA& key) override {
        sorn::MutexLock lock(mutex_);
        auto it = codecs_.find(key.ToChars());
        return it == codecs_.end() ? nullptr : it->second.get();
    }

private:
    sorn::Mutex mutex_;
    std::map<std::string, std::unique_ptr<ICodec>> codecs_ SORN_GUARDED_BY(mutex_);
};

void Print(const char* kind, const char* text, const char* text2) {
    std::fprintf(stderr, "sorn: %s: %s%s%s\n", kind, text ? text : "(no text)", text2 ? ": " : "", text2 ? text2 : "");
}

}  // namespace

void SornDataSys::ErrorHandler(IErrorHandler* handler) { Install(&Services::error, handler, Event::ErrorHandler); }
IErrorHandler* SornDataSys::ErrorHandler() { return Read(&Services::error); }
void SornDataSys::ResourceHandler(IResourceHandler* handler) {
    Install(&Services::resource, handler, Event::ResourceHandler);
}
IResourceHandler* SornDataSys::ResourceHandler() { return Read(&Services::resource); }
void SornDataSys::PluginHandler(IPluginHandler* handler) { Install(&Services::plugin, handler, Event::PluginHandler); }
IPluginHandler* SornDataSys::PluginHandler() { return Read(&Services::plugin); }
void SornDataSys::ClassFactory(ISornInterface* factory) { Install(&Services::factory, factory, Event::ClassFactory); }
ISornInterface* SornDataSys::ClassFactory() { return Read(&Services::factory); }
void SornDataSys::FileHandler(IFileHandler* handler) { Install(&Services::file, handler, Event::FileHandler); }
IFileHandler* SornDataSys::FileHandler() { return Read(&Services::file); }

ICodecHandler* SornDataSys::CodecHandler() {
    static CodecRegistry* registry = new CodecRegistry();  // lives as long as the process
    return registry;
}

void SornDataSys::Error(char* text, char* text2, char* text3, char* text4, int number) {
    auto observer = CurrentObserver();
    if (observer && *observer) {
        (*observer)(Report{Event::Error, text, text2, nullptr});
        return;
    }
    Print("error", text, text2);
}

void SornDataSys::Warning(char* text, char* text2) {
    auto observer = CurrentObserver();
    if (observer && *observer) {
        (*observer)(Report{Event::Warning, text, text2, nullptr});
        return;
    }
    Print("warning", text, text2);
}

void SornDataSys::SetObserver(Observer observer) {
    auto shared = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
    sorn::MutexLock lock(RegistryMutex());
    State().observer = std::move(shared);
}

const char* Versioning::GetVersion() { return sorn::kVersion; }
