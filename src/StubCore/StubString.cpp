#include "StubString.h"

#include <string.h>

#include "../NoRTLStream/StubMemory.h"

int32_t TextLength(const char16_t* text) {
    int32_t n = 0;
    while (text[n]) ++n;
    return n;
}

StubString::~StubString() { MemFree(data_); }

void StubString::Reserve(int32_t capacity) {
    if (capacity <= capacity_ && data_) return;
    // Grow by half again so that appending unit by unit stays linear.
    int64_t grown = static_cast<int64_t>(capacity_) + capacity_ / 2;
    if (grown < capacity) grown = capacity;
    if (grown < 15) grown = 15;
    if (grown > (INT32_MAX / 2) - 1) OutOfMemory();
    data_ = static_cast<char16_t*>(MemRealloc(data_, static_cast<int32_t>((grown + 1) * 2)));
    capacity_ = static_cast<int32_t>(grown);
    data_[length_] = 0;
}

void StubString::SetLength(int32_t length) {
    if (length < 0) length = 0;
    Reserve(length);
    length_ = length;
    data_[length_] = 0;
}

void StubString::Assign(const StubString& other) {
    if (&other == this) return;
    Clear();
    Append(other);
}

void StubString::Append(const char16_t* text) { Append(text, TextLength(text)); }

void StubString::Append(const char16_t* text, int32_t count) {
    if (count <= 0) return;
    if (count > INT32_MAX / 2 - length_) OutOfMemory();
    Reserve(length_ + count);
    memmove(data_ + length_, text, static_cast<size_t>(count) * 2);
    length_ += count;
    data_[length_] = 0;
}

void StubString::AppendDecimal(uint32_t value) {
    char16_t digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value);
    while (n) Append(digits[--n]);
}

void StubString::Insert(int32_t at, const StubString& piece) {
    if (at < 0) at = 0;
    if (at > length_) at = length_;
    const int32_t count = piece.length_;
    if (count == 0) return;
    if (count > INT32_MAX / 2 - length_) OutOfMemory();
    Reserve(length_ + count);
    memmove(data_ + at + count, data_ + at, static_cast<size_t>(length_ - at) * 2);
    memcpy(data_ + at, piece.data_, static_cast<size_t>(count) * 2);
    length_ += count;
    data_[length_] = 0;
}

bool StubString::Equals(const char16_t* text) const {
    const int32_t n = TextLength(text);
    return n == length_ && (n == 0 || memcmp(data_, text, static_cast<size_t>(n) * 2) == 0);
}

void StubString::ReplaceAll(const char16_t* pattern, const StubString& replacement) {
    const int32_t p = TextLength(pattern);
    if (p == 0 || length_ < p) return;
    StubString result;
    int32_t i = 0;
    while (i < length_) {
        if (i + p <= length_ && memcmp(data_ + i, pattern, static_cast<size_t>(p) * 2) == 0) {
            result.Append(replacement);
            i += p;
        } else {
            result.Append(data_[i++]);
        }
    }
    result.Append(data_ + i, length_ - i);
    // Take over the result's block.
    MemFree(data_);
    data_ = result.data_;
    length_ = result.length_;
    capacity_ = result.capacity_;
    result.data_ = nullptr;
    result.length_ = result.capacity_ = 0;
}
