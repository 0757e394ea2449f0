#pragma once
// An allocator for the few large sample buffers of the host (a decoded file,
// a resampled channel). Buffers of 4 MiB and more are mapped on their own,
// aligned to 2 MiB and offered to the kernel for transparent huge pages: on
// this kind of virtual machine the first touch of each 4 KiB page is costly
// (reading a ten-minute 16 kHz file through the codec took 85 ms of CPU into
// a plain vector, 4 ms into such a buffer). Smaller buffers use operator new.
//
// Elements are default-initialised: vector<T, LargeBufferAllocator<T>>(n)
// and resize(n) leave new arithmetic elements unset (a fresh mapping reads
// as zeros, a small buffer as whatever it held). Fill what you read.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace sorn::cli {

template <class T>
class LargeBufferAllocator {
public:
    using value_type = T;

    LargeBufferAllocator() noexcept = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > (static_cast<std::size_t>(-1) - 2 * kHuge) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kThreshold) return static_cast<T*>(::operator new(bytes));
        const std::size_t length = Rounded(bytes);
        void* mapped = ::mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        // Keep the 2 MiB-aligned part of length bytes, give back the rest.
        const auto base = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (base + kHuge - 1) & ~static_cast<std::uintptr_t>(kHuge - 1);
        if (aligned > base) ::munmap(mapped, aligned - base);
        const std::size_t tail = base + length + kHuge - (aligned + length);
        if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
        ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint; refusal is harmless
        return reinterpret_cast<T*>(aligned);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kThreshold) ::operator delete(p);
        else ::munmap(p, Rounded(bytes));
    }

    template <class U>
    void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const LargeBufferAllocator<U>&) const noexcept {
        return true;
    }

private:
    static constexpr std::size_t kHuge = std::size_t{2} << 20;
    static constexpr std::size_t kThreshold = std::size_t{4} << 20;
    static std::size_t Rounded(std::size_t bytes) { return (bytes + kHuge - 1) & ~(kHuge - 1); }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

}  // namespace sorn::cli
