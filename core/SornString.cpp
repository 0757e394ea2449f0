#include "core_contract/SornString.h"

#include <string>

SornStringA::SornStringA() = default;
SornStringA::SornStringA(const char* text) : text_(text ? text : "") {}
SornStringA::SornStringA(int number) : text_(std::to_string(number)) {}
SornStringA::SornStringA(const SornStringA& other) = default;
SornStringA& SornStringA::operator=(const SornStringA& other) = default;
SornStringA& SornStringA::operator=(const char* text) {
    text_ = text ? text : "";
    return *this;
}
SornStringA::~SornStringA() = default;

const char* SornStringA::ToChars() const { return text_.c_str(); }
char* SornStringA::Buffer() { return text_.data(); }
std::size_t SornStringA::Length() const { return text_.size(); }
bool SornStringA::IsEmpty() const { return text_.empty(); }

SornStringA SornStringA::operator+(const char* text) const {
    SornStringA result(*this);
    if (text) result.text_ += text;
    return result;
}
bool SornStringA::operator==(const SornStringA& other) const { return text_ == other.text_; }
bool SornStringA::operator<(const SornStringA& other) const { return text_ < other.text_; }
