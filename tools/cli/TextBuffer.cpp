#include "tools/cli/TextBuffer.h"

#include <cerrno>
#include <cstring>

namespace sorn::cli {

TextBuffer& TextBuffer::JsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    text_.push_back('"');
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"': text_.append("\\\""); break;
            case '\\': text_.append("\\\\"); break;
            case '\n': text_.append("\\n"); break;
            case '\r': text_.append("\\r"); break;
            case '\t': text_.append("\\t"); break;
            default:
                if (u < 0x20) {
                    text_.append("\\u00");
                    text_.push_back(kHex[u >> 4]);
                    text_.push_back(kHex[u & 15]);
                } else {
                    text_.push_back(c);
                }
        }
    }
    text_.push_back('"');
    return *this;
}

TextBuffer& TextBuffer::Xml(std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': text_.append("&amp;"); break;
            case '<': text_.append("&lt;"); break;
            case '>': text_.append("&gt;"); break;
            case '"': text_.append("&quot;"); break;
            case '\'': text_.append("&apos;"); break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') text_.push_back(c);
                else text_.push_back('?');
        }
    }
    return *this;
}

bool WriteAll(std::FILE* stream, std::string_view text, std::string& why) {
    errno = 0;
    const bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (written && std::fflush(stream) == 0) return true;
    why = errno ? std::strerror(errno) : "write failed";
    return false;
}

bool WriteTextFile(const std::string& path, std::string_view text, std::string& why) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        why = path + ": cannot be written: " + std::strerror(errno);
        return false;
    }
    std::string reason;
    bool ok = WriteAll(file, text, reason);
    if (std::fclose(file) != 0 && ok) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (!ok) why = path + ": cannot be written: " + reason;
    return ok;
}

}  // namespace sorn::cli
