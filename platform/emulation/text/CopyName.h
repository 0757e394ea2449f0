#pragma once
// Copying a name into a fixed field of a platform record.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace sorn::text {

// Copies `text` into `out` (`size` bytes, zero-filled, always terminated),
// cut before the character that would not fit: a UTF-8 sequence is never
// split.
inline void CopyName(char* out, std::size_t size, const std::string& text) {
    if (size == 0) return;
    std::memset(out, 0, size);
    std::size_t length = std::min(text.size(), size - 1);
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0u) == 0x80u) --length;
    }
    std::memcpy(out, text.data(), length);
}

}  // namespace sorn::text
