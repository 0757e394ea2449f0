#pragma once
// Output assembled in memory with std::to_chars and written with one fwrite:
// a ten-minute pitch contour is 60,000 lines, and formatting them one printf
// at a time would cost more than tracking them.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

namespace sorn::cli {

class TextBuffer {
public:
    void Reserve(std::size_t bytes) { text_.reserve(bytes); }

    TextBuffer& Put(std::string_view text) {
        text_.append(text);
        return *this;
    }
    TextBuffer& Put(char c) {
        text_.push_back(c);
        return *this;
    }
    TextBuffer& Int(long long value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text_.append(digits, end);
        return *this;
    }
    // value with exactly `decimals` digits after the point.
    TextBuffer& Fixed(double value, int decimals) {
        char digits[64];
        const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals);
        if (result.ec == std::errc()) text_.append(digits, result.ptr);
        else text_.append("0");
        return *this;
    }
    // The shortest text that reads back as value.
    TextBuffer& Shortest(double value) {
        char digits[64];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        if (result.ec == std::errc()) text_.append(digits, result.ptr);
        else text_.append("0");
        return *this;
    }
    // A JSON string literal, quotes included; bytes of 0x80 and above pass
    // through (paths are taken as UTF-8).
    TextBuffer& JsonString(std::string_view text);
    // Text with &, <, > and quotes escaped for XML.
    TextBuffer& Xml(std::string_view text);

    const std::string& Str() const { return text_; }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

// Writes all of text to stream and flushes it. False with the OS error text
// in why when that fails (a full disk, a closed pipe).
bool WriteAll(std::FILE* stream, std::string_view text, std::string& why);

// Creates or replaces the file at path with text. False with one line in why
// ("OUT.svg: cannot be written: Permission denied") when that fails.
bool WriteTextFile(const std::string& path, std::string_view text, std::string& why);

}  // namespace sorn::cli
