#pragma once
// SornStringA: the core's narrow string (texts and paths in the platform's
// code page). A value type; not safe to share between threads while one of
// them changes it.
#include <cstddef>
#include <string>

#include "sorn_core_export.h"

class SORN_CORE_API SornStringA {
public:
    SornStringA();
    SornStringA(const char* text);  // null gives the empty string
    explicit SornStringA(int number);  // decimal digits: SornStringA(0) is "0"
    SornStringA(const SornStringA& other);
    SornStringA& operator=(const SornStringA& other);
    SornStringA& operator=(const char* text);
    ~SornStringA();

    // The text, always terminated; valid until the string changes.
    const char* ToChars() const;
    // Writable text of Length() characters plus the terminator, to edit in
    // place; the length does not change.
    char* Buffer();
    std::size_t Length() const;
    bool IsEmpty() const;

    SornStringA operator+(const char* text) const;
    bool operator==(const SornStringA& other) const;
    bool operator<(const SornStringA& other) const;

private:
    std::string text_;
};
