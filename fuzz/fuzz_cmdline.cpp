// The command-line splitter on arbitrary UTF-16 text (the input's bytes as
// little-endian code units, up to the first NUL).  The arguments must agree
// with a plain second reading of the splitting rule; no argument up to N is
// empty and none beyond N has text; switch matching folds only a-z; and the
// argument string for the engine splits back into the package path and the
// same arguments, unless an unquoted argument holds a control character
// (only a space makes an argument quoted, so a tab splits it on the way back).
#include <string>
#include <vector>

#include "FakeWindows.h"
#include "FuzzCheck.h"
#include "StubCore/CommandLine.h"

namespace {

constexpr size_t kMaxUnits = 4096;

// The splitting rule, read once more: skip U+0001-U+0020 and "" pairs; a
// word runs over characters above U+0020, quotes open stretches that run to
// the next quote (or the end) and are dropped.  Word 0 is the program.
std::vector<std::u16string> Split(const std::u16string& text) {
    std::vector<std::u16string> words;
    size_t i = 0;
    const size_t n = text.size();
    for (;;) {
        for (;;) {
            while (i < n && text[i] >= 1 && text[i] <= 0x20) ++i;
            if (i + 1 < n && text[i] == u'"' && text[i + 1] == u'"') {
                i += 2;
                continue;
            }
            break;
        }
        std::u16string word;
        bool empty = true;
        while (i < n && text[i] > 0x20) {
            if (text[i] == u'"') {
                ++i;
                while (i < n && text[i] != u'"') {
                    word += text[i++];
                    empty = false;
                }
                if (i < n) ++i;
            } else {
                word += text[i++];
                empty = false;
            }
        }
        if (empty) break;
        words.push_back(word);
    }
    return words;
}

std::u16string ToStd(const StubString& s) { return std::u16string(s.Text(), static_cast<size_t>(s.Length())); }

char16_t FlipCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string commandLine;
    for (size_t i = 0; i + 1 < size && commandLine.size() < kMaxUnits; i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) break;
        commandLine += c;
    }
    const char16_t* text = commandLine.c_str();

    FakeWindows fake;
    // An odd length puts the launcher on a mapped network drive.
    const bool mapped = size % 2 == 1;
    fake.modulePath = mapped ? u"Z:\\pkg dir\\setup.exe" : u"C:\\setup.exe";
    fake.universalNames[u"Z:\\pkg dir\\setup.exe"] = u"\\\\srv\\dist\\pkg dir\\setup.exe";
    const std::u16string packagePath = mapped ? u"\\\\srv\\dist\\pkg dir\\setup.exe" : u"C:\\setup.exe";

    const int32_t count = ArgumentCount(text);
    FUZZ_CHECK(count >= 0);
    const std::vector<std::u16string> words = Split(commandLine);
    const size_t expectedCount = words.empty() ? 0 : words.size() - 1;
    FUZZ_CHECK(static_cast<size_t>(count) == expectedCount);

    StubString argument;
    std::vector<std::u16string> arguments;
    bool splitsBack = true;
    bool anyTemp = false;
    for (int32_t i = 1; i <= count; ++i) {
        Argument(text, i, argument);
        const std::u16string a = ToStd(argument);
        FUZZ_CHECK(!a.empty());
        FUZZ_CHECK(a == words[static_cast<size_t>(i)]);
        FUZZ_CHECK(a.find(u'"') == std::u16string::npos);
        bool control = false, space = false;
        for (char16_t c : a) {
            control |= c >= 1 && c < 0x20;
            space |= c == u' ';
        }
        if (control && !space) splitsBack = false;
        arguments.push_back(a);

        // Switch matching: itself, itself with a-z/A-Z flipped, not one unit longer.
        FUZZ_CHECK(SwitchMatches(argument, a.c_str()));
        std::u16string flipped = a;
        for (char16_t& c : flipped) c = FlipCase(c);
        FUZZ_CHECK(SwitchMatches(argument, flipped.c_str()));
        const std::u16string longer = a + u"x";
        FUZZ_CHECK(!SwitchMatches(argument, longer.c_str()));
        anyTemp |= SwitchMatches(argument, u"/temp");
    }
    FUZZ_CHECK(HasSwitch(text, u"/temp") == anyTemp);
    for (int32_t beyond : {count + 1, count + 2, 0, -1}) {
        Argument(text, beyond, argument);
        FUZZ_CHECK(argument.IsEmpty());
    }

    StubString launcherPath(fake.modulePath.c_str());
    StubString rebuilt;
    BuildArgumentString(fake, text, launcherPath, rebuilt);
    const std::u16string r = ToStd(rebuilt);
    FUZZ_CHECK(r.compare(0, packagePath.size() + 2, u"\"" + packagePath + u"\"") == 0);
    if (splitsBack) {
        // The engine reads the string as its own command line: word 0 the
        // package path, then the arguments.
        const std::vector<std::u16string> back = Split(r);
        FUZZ_CHECK(!back.empty() && back[0] == packagePath);
        FUZZ_CHECK(std::vector<std::u16string>(back.begin() + 1, back.end()) == arguments);
        FUZZ_CHECK(ArgumentCount(rebuilt.Text()) == count);
        for (int32_t i = 1; i <= count; ++i) {
            Argument(rebuilt.Text(), i, argument);
            FUZZ_CHECK(ToStd(argument) == arguments[static_cast<size_t>(i - 1)]);
        }
    }
    return 0;
}
