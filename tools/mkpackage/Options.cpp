#include "Options.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

}  // namespace

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ArgCursor::Done() {
    while (next_ < args_.size()) {
        const std::string& word = args_[next_];
        if (!endOfOptions_ && word == "--") {
            endOfOptions_ = true;
        } else if (endOfOptions_ || word.empty() || word[0] != '-' || word == "-") {
            operands_.push_back(word);
        } else {
            return false;
        }
        ++next_;
    }
    return true;
}

std::string ArgCursor::Next() {
    if (inlineValue_) throw UsageError("unexpected value after '='");
    std::string word = args_[next_++];
    const size_t eq = word.find('=');
    if (word.size() > 2 && word.compare(0, 2, "--") == 0 && eq != std::string::npos) {
        inlineValue_ = word.substr(eq + 1);
        word.resize(eq);
    }
    return word;
}

std::string ArgCursor::Value(const std::string& option) {
    if (inlineValue_) {
        std::string value = std::move(*inlineValue_);
        inlineValue_.reset();
        return value;
    }
    if (next_ >= args_.size()) throw UsageError(option + " needs a value");
    return args_[next_++];
}

std::string ArgCursor::FileValue(const std::string& option) {
    std::string path = Value(option);
    if (path.empty()) throw UsageError(option + " needs a file name, not an empty value");
    return path;
}

void ArgCursor::NoValue(const std::string& option) {
    if (inlineValue_) throw UsageError(option + " takes no value");
}

std::string ArgCursor::OneFile() const {
    if (operands_.empty()) throw UsageError("FILE is required");
    if (operands_.size() > 1) throw UsageError("unexpected argument '" + operands_[1] + "' (one FILE only)");
    if (operands_[0].empty()) throw UsageError("FILE is empty; name the package to read, or - for standard input");
    return operands_[0];
}

void ArgCursor::NoOperands() const {
    if (!operands_.empty()) throw UsageError("unexpected argument '" + operands_[0] + "'");
}

uint64_t ParseUnsigned(const std::string& option, const std::string& text, uint64_t max) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError(option + " needs a whole number, not '" + text + "'");
    const uint64_t value = std::stoull(text);
    if (value > max) throw UsageError(option + " " + text + " is too large (at most " + std::to_string(max) + ")");
    return value;
}

uint64_t ParseByteSize(const std::string& option, const std::string& text, uint64_t max) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const std::string unit = Lower(text.substr(digits));
    uint64_t scale = 0;
    if (unit.empty() || unit == "b") scale = 1;
    else if (unit == "k" || unit == "kb" || unit == "kib") scale = 1u << 10;
    else if (unit == "m" || unit == "mb" || unit == "mib") scale = 1u << 20;
    else if (unit == "g" || unit == "gb" || unit == "gib") scale = 1u << 30;
    if (digits == 0 || digits > 12 || scale == 0)
        throw UsageError(option + " needs a size such as 65536, 64KiB or 4MiB, not '" + text + "'");
    // Compared before multiplying, so that a count which would wrap around
    // 64 bits is refused as too large rather than taken modulo 2^64.
    const uint64_t count = std::stoull(text.substr(0, digits));
    if (count > max / scale)
        throw UsageError(option + " " + text + " is too large (at most " + std::to_string(max) + " bytes)");
    return count * scale;
}

const std::vector<WindowsName>& WindowsNames() {
    static const std::vector<WindowsName> names = {
        {kWin95, "95", "Windows 95"},       {kWin98, "98", "Windows 98"},
        {kWinMe, "me", "Windows ME"},       {kWinNt4, "nt4", "Windows NT 4"},
        {kWin2000, "2000", "Windows 2000"}, {kWinXp, "xp", "Windows XP"},
        {kWinVista, "vista", "Windows Vista"}, {kWin7, "7", "Windows 7"},
        {kWin8, "8", "Windows 8"},          {kWin81, "8.1", "Windows 8.1"},
        {kWin10, "10", "Windows 10"},       {kWin11, "11", "Windows 11"},
        {kWinLater, "later", "later Windows"},
    };
    return names;
}

AllowedWindowsSet ParseWindowsList(const std::string& option, const std::string& text) {
    AllowedWindowsSet set{};
    auto add = [&](unsigned element) { set.bytes[element / 8] |= static_cast<uint8_t>(1u << (element % 8)); };
    if (Trim(text).empty()) throw UsageError(option + " needs at least one Windows version");
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string word = Lower(Trim(text.substr(start, comma - start)));
        start = comma + 1;
        if (word.empty())
            throw UsageError(option + " '" + text + "' has an empty item; separate the names with single commas");
        if (word == "all") {
            for (const WindowsName& n : WindowsNames()) add(n.element);
            continue;
        }
        const auto& names = WindowsNames();
        const auto it = std::find_if(names.begin(), names.end(), [&](const WindowsName& n) { return word == n.name; });
        if (it == names.end())
            throw UsageError(option + ": unknown Windows version '" + word +
                             "' (known: 95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11, later, all)");
        add(it->element);
    }
    return set;
}

namespace {

// A release code: YYMM with a month from 01 to 12, or 9999 for "no bound".
uint16_t ParseReleaseCode(const std::string& option, const std::string& text) {
    const uint16_t code = static_cast<uint16_t>(ParseUnsigned(option, text, 9999));
    const unsigned month = code % 100;
    if (code != 9999 && (text.size() != 4 || month < 1 || month > 12))
        throw UsageError(option + " " + text + " is no release code: codes are YYMM, such as 1809 or 2210");
    return code;
}

}  // namespace

void ParseReleaseRange(const std::string& option, const std::string& text, uint16_t& min, uint16_t& max) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos)
        throw UsageError(option + " needs a range of release codes MIN-MAX such as 1507-2209, or MIN- for no upper bound, not '" +
                         text + "'");
    const std::string low = text.substr(0, dash), high = text.substr(dash + 1);
    min = ParseReleaseCode(option + " (lowest release)", low);
    max = high.empty() ? 9999 : ParseReleaseCode(option + " (highest release)", high);
    if (min > max)
        throw UsageError(option + " " + text + " is upside down: the lowest release " + low +
                         " is above the highest " + high);
}

uint8_t ParseElevation(const std::string& option, const std::string& text) {
    const std::string word = Lower(text);
    if (word == "none" || word == "0") return 0;
    if (word == "runas" || word == "1") return 1;
    if (word == "noadmin" || word == "2") return 2;
    throw UsageError(option + " needs none, runas or noadmin (0, 1 or 2), not '" + text + "'");
}
