#pragma once
// The headers a wave device has given back, in order, as its callback
// reports them (WOM_DONE, WIM_DATA): the tests wait on these rather than
// read header flags the device's notification thread writes.
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/MMSystem.h"

namespace sorn::alsatest {

class Completions {
public:
    // The callback to open a device with (CALLBACK_FUNCTION, Instance()).
    template <typename Handle>
    static void Proc(Handle, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        if (message != WOM_DONE && message != WIM_DATA) return;
        auto* self = reinterpret_cast<Completions*>(instance);
        std::lock_guard lock(self->mutex_);
        self->order_.push_back(reinterpret_cast<WAVEHDR*>(param1)->dwUser);
    }
    template <typename Handle>
    static DWORD_PTR Callback() {
        return reinterpret_cast<DWORD_PTR>(&Completions::Proc<Handle>);
    }
    DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return order_.size();
    }
    // The dwUser of each header given back, in the order they came.
    std::vector<DWORD_PTR> Order() {
        std::lock_guard lock(mutex_);
        return order_;
    }

private:
    std::mutex mutex_;
    std::vector<DWORD_PTR> order_;
};

}  // namespace sorn::alsatest
