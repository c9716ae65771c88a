// Command-line handling shared by the mkpackage commands: the argument
// cursor, the two kinds of failure and the parsers for option values.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "StubTypes/StubTypes.h"

// Exit codes: 0 success, 1 a failure of the input or the package, 2 a
// command line that cannot be acted on.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A command line that cannot be acted on (exit 2).  The text names the option.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input or a package that is unsound (exit 1).  The text names the file.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Walks the words after the command name.  Options take their value either
// as the next word or after '=' ("--dict 8MiB", "--dict=8MiB").  Words that
// are no options are the command's operands (its FILE): those that do not
// start with '-', "-" alone (standard input or output), and every word after
// "--", which ends the options.
class ArgCursor {
public:
    explicit ArgCursor(std::vector<std::string> args) : args_(std::move(args)) {}
    // Whether no option is left; operands on the way are set aside.
    bool Done();
    // The next option; for "--name=value" the name, with the value kept for Value().
    std::string Next();
    // The value of the option just returned by Next().
    std::string Value(const std::string& option);
    // The same for an option that names a file: an empty value (an unset
    // variable, most often) is refused rather than taken as "not given".
    std::string FileValue(const std::string& option);
    // Refuses a value after '=' on an option that takes none.
    void NoValue(const std::string& option);
    // The operands met so far, in order.
    const std::vector<std::string>& Operands() const { return operands_; }
    // The one FILE of a command that takes exactly one; refuses none, an
    // empty one and a second one.
    std::string OneFile() const;
    // Refuses any operand, for a command that takes none.
    void NoOperands() const;

private:
    std::vector<std::string> args_;
    size_t next_ = 0;
    bool endOfOptions_ = false;
    std::optional<std::string> inlineValue_;
    std::vector<std::string> operands_;
};

// Keywords (all, none, runas, ...) are taken in any case.
std::string Lower(std::string s);

// Whole decimal numbers only ("12", not "12k", "-1" or "0x10").
uint64_t ParseUnsigned(const std::string& option, const std::string& text, uint64_t max);
// A byte count with an optional binary unit: 4096, 64KiB, 4MiB, 1GiB (K, KB,
// KiB, M, MB, MiB, G, GB, GiB, any case, all powers of 1024).  A count that
// would not fit 64 bits once multiplied out is too large, not wrapped.
uint64_t ParseByteSize(const std::string& option, const std::string& text, uint64_t max);
// A list of Windows names: 95 98 me nt4 2000 xp vista 7 8 8.1 10 11 later
// (any case, comma-separated, 'all' for every one).
AllowedWindowsSet ParseWindowsList(const std::string& option, const std::string& text);
// "MIN-MAX" release codes YYMM (month 01-12) or 9999; "MIN-" means no upper
// bound (9999).
void ParseReleaseRange(const std::string& option, const std::string& text, uint16_t& min, uint16_t& max);
// none|runas|noadmin or 0|1|2.
uint8_t ParseElevation(const std::string& option, const std::string& text);

// The Windows names in element order, for output.
struct WindowsName {
    unsigned element;
    const char* name;   // as --allow takes it
    const char* title;  // for people
};
const std::vector<WindowsName>& WindowsNames();
