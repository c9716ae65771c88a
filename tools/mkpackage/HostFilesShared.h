// What the POSIX and Windows sides of HostFiles share: an input read whole
// into memory, a stream kept up to its bound, the table of mapped inputs
// for the fault handler, and the words for sizes and limits.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "HostFiles.h"
#include "Options.h"
#include "TerminalText.h"

// An input read whole (a pipe or a device, which cannot be mapped).
class StreamedFile final : public InputFile {
public:
    StreamedFile(std::string path, std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        path_ = std::move(path);
        data_ = bytes_.data();
        size_ = bytes_.size();
    }

private:
    std::vector<uint8_t> bytes_;
};

inline std::string SizeText(uint64_t bytes) { return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes"); }

// "NAME is 3221225472 bytes; an engine must be smaller than 2 GiB", or
// "is more than N bytes" for an input read whole that went past the limit.
inline std::string TooLargeText(const std::string& name, uint64_t size, bool readPastLimit, uint64_t maxSize,
                                const std::string& reason) {
    return name + " is " + (readPastLimit ? "more than " + SizeText(maxSize) : SizeText(size)) +
           (reason.empty() ? std::string(": too large") : "; " + reason);
}

// Reads a pipe or device until it ends, but no further than maxSize.
// readSome(buffer, size) returns how many bytes it read, 0 at the end, and
// throws its own Failure when reading fails.
template <typename ReadSome>
std::vector<uint8_t> ReadToEnd(const std::string& name, uint64_t maxSize, const std::string& tooLarge,
                               ReadSome readSome) {
    std::vector<uint8_t> bytes;
    try {
        uint8_t buffer[1 << 16];
        for (;;) {
            const size_t n = readSome(buffer, sizeof buffer);
            if (n == 0) return bytes;
            if (bytes.size() + n > maxSize) throw Failure(TooLargeText(name, 0, true, maxSize, tooLarge));
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    } catch (const std::bad_alloc&) {
        throw Failure(name + ": out of memory after reading " + SizeText(bytes.size()) + " of it");
    }
}

// What a shell command wrote, as kept for ShellResult: its last 64 KiB
// (the end of a signer's output says why it failed).  Trimmed now and then
// while it comes, and to the bound when taken.
class OutputTail {
public:
    void Append(const char* data, size_t size) {
        text_.append(data, size);
        if (text_.size() > 2 * kKept) TrimToTail();
    }
    std::string Take() {
        TrimToTail();
        return std::move(text_);
    }

private:
    static constexpr size_t kKept = 64 * 1024;
    void TrimToTail() {
        if (text_.size() > kKept) text_.erase(0, text_.size() - kKept);
    }
    std::string text_;
};

// What Spool kept of a stream.
struct Spooled {
    uint64_t size = 0;  // bytes kept
    bool cut = false;   // the stream went on past the bound
};

// Reads the head of a stream, asks bound how much of it to keep, and hands
// that much to keep(buffer, size), reading at most one byte more, to tell
// whether the stream goes on.  readSome is as for ReadToEnd.
template <typename ReadSome, typename Keep>
Spooled Spool(const InputFile::StreamBound& bound, ReadSome readSome, Keep keep) {
    std::vector<uint8_t> buffer(1 << 20);
    size_t head = 0;
    while (head < InputFile::kStreamHead) {
        const size_t n = readSome(buffer.data() + head, InputFile::kStreamHead - head);
        if (n == 0) break;
        head += n;
    }
    const uint64_t limit = bound(buffer.data(), head);
    Spooled s;
    s.size = std::min<uint64_t>(head, limit);
    s.cut = head > limit;
    keep(buffer.data(), static_cast<size_t>(s.size));
    while (!s.cut) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), limit - s.size + 1));
        const size_t n = readSome(buffer.data(), want);
        if (n == 0) break;
        const size_t taken = static_cast<size_t>(std::min<uint64_t>(n, limit - s.size));
        keep(buffer.data(), taken);
        s.size += taken;
        s.cut = n > taken;
    }
    return s;
}

// The inputs mapped now, for the handler of a fault on one of them (SIGBUS,
// an in-page error): the address tells which file shrank.  A fixed table,
// filled before the mapping is used, because a fault handler may only read
// memory that is already there.
class MappedInputs {
public:
    // Returns the slot, or -1 when the table is full (the fault then ends
    // the process as it would have without the table).
    static int Add(const uint8_t* data, uint64_t size, const std::string& name) {
        for (int i = 0; i < kSlots; ++i) {
            Slot& s = slots_[i];
            if (s.used.load()) continue;
            const std::string text =
                "mkpackage: " + PrintableUtf8(name) + " changed while it was read (it is shorter now); nothing was written\n";
            const size_t n = std::min(text.size(), sizeof s.message);
            std::memcpy(s.message, text.data(), n);
            s.length = n;
            s.begin = reinterpret_cast<uintptr_t>(data);
            s.end = s.begin + size;
            s.used.store(true);
            return i;
        }
        return -1;
    }
    static void Remove(int slot) {
        if (slot >= 0) slots_[slot].used.store(false);
    }
    // The message for a fault at address, or nullptr when it lies in no
    // mapped input.
    static const char* MessageFor(const void* address, size_t& length) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(address);
        for (const Slot& s : slots_)
            if (s.used.load() && at >= s.begin && at < s.end) {
                length = s.length;
                return s.message;
            }
        return nullptr;
    }

private:
    static constexpr int kSlots = 16;
    struct Slot {
        std::atomic<bool> used{false};
        uintptr_t begin = 0, end = 0;
        char message[1024] = {};
        size_t length = 0;
    };
    static Slot slots_[kSlots];
};
inline MappedInputs::Slot MappedInputs::slots_[MappedInputs::kSlots];

// A mapped input of either system, entered in MappedInputs while it lives,
// so that a fault on it ends the run with its name.  The system's own part
// maps and unmaps.
class MappedInput : public InputFile {
public:
    void SetCut(bool cut) { cut_ = cut; }

protected:
    MappedInput(std::string path, std::string name, const uint8_t* data, uint64_t size) : name_(std::move(name)) {
        path_ = std::move(path);
        data_ = data;
        size_ = size;
        slot_ = MappedInputs::Add(data, size, name_);
    }
    ~MappedInput() override { MappedInputs::Remove(slot_); }
    [[noreturn]] void Changed() const { throw Failure(name_ + " changed while it was read"); }

private:
    std::string name_;
    int slot_ = -1;
};
