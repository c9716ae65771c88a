// StubString: a growable UTF-16 text for the launcher.  The standard string
// types drag the exception and demangling runtime into a mingw executable and
// multiply its size, so the launcher keeps its own.  Always NUL-terminated;
// an allocation failure ends the process (see StubMemory.h).
#pragma once
#include <stdint.h>

class StubString {
public:
    StubString() = default;
    explicit StubString(const char16_t* text) { Append(text); }
    ~StubString();
    StubString(const StubString&) = delete;
    StubString& operator=(const StubString&) = delete;

    const char16_t* Text() const { return data_ ? data_ : u""; }
    // For platform calls that fill the text in place (see SetLength).
    char16_t* Data() { return data_; }
    int32_t Length() const { return length_; }
    bool IsEmpty() const { return length_ == 0; }
    char16_t At(int32_t i) const { return data_[i]; }
    char16_t Last() const { return length_ ? data_[length_ - 1] : 0; }

    void Clear() { SetLength(0); }
    void Assign(const StubString& other);
    void Append(char16_t c) { Append(&c, 1); }
    void Append(const char16_t* text);  // NUL-terminated
    void Append(const char16_t* text, int32_t count);
    void Append(const StubString& other) { Append(other.data_, other.length_); }
    void AppendDecimal(uint32_t value);
    // Makes room for capacity units (plus the terminator) and keeps the text.
    void Reserve(int32_t capacity);
    // Cuts or extends (after Reserve) the text to length units.
    void SetLength(int32_t length);
    void Insert(int32_t at, const StubString& piece);

    bool Equals(const char16_t* text) const;
    // Replaces every occurrence of pattern, scanning left to right.
    void ReplaceAll(const char16_t* pattern, const StubString& replacement);

private:
    char16_t* data_ = nullptr;
    int32_t length_ = 0;
    int32_t capacity_ = 0;  // units, not counting the terminator
};

int32_t TextLength(const char16_t* text);
