// The launcher's command line: splitting into arguments, switch matching,
// the package path as a UNC name, and the argument string for the engine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeWindows.h"
#include "StubCore/CommandLine.h"
#include "TestPackages.h"

namespace {

std::u16string Text(const StubString& s) { return std::u16string(s.Text(), static_cast<size_t>(s.Length())); }

std::vector<std::u16string> Split(const std::u16string& commandLine) {
    std::vector<std::u16string> words;
    const int32_t n = ArgumentCount(commandLine.c_str());
    StubString argument;
    for (int32_t i = 1; i <= n; ++i) {
        Argument(commandLine.c_str(), i, argument);
        words.push_back(Text(argument));
    }
    return words;
}

// How an engine built with the C runtime splits its arguments
// (CommandLineToArgvW, the Microsoft C runtime): spaces and tabs outside
// quotes separate; 2n backslashes before a quote give n and the quote opens
// or closes; 2n+1 give n and a literal quote; other backslashes are plain.
// Word 0 runs to the closing quote when it starts with one.
std::vector<std::u16string> SplitLikeTheCRuntime(const std::u16string& line) {
    size_t i = 0;
    if (!line.empty() && line[0] == u'"') {
        i = line.find(u'"', 1);
        i = i == std::u16string::npos ? line.size() : i + 1;
    } else {
        while (i < line.size() && line[i] != u' ' && line[i] != u'\t') ++i;
    }
    std::vector<std::u16string> words;
    for (;;) {
        while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
        if (i >= line.size()) return words;
        std::u16string word;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == u'\\') ++backslashes, ++i;
            if (i < line.size() && line[i] == u'"') {
                word.append(backslashes / 2, u'\\');
                if (backslashes % 2) {
                    word += u'"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
                    word += u'"';  // "" inside quotes: a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                word.append(backslashes, u'\\');
                if (backslashes == 0) word += line[i++];
            }
        }
        words.push_back(word);
    }
}

std::string Show(const std::vector<std::u16string>& words) {
    std::string out;
    for (const auto& w : words) out += "[" + Narrow(w) + "]";
    return out;
}

struct SplitCase {
    const char16_t* commandLine;
    std::vector<std::u16string> arguments;
};

const std::vector<SplitCase> kSplitCases = {
    {u"", {}},
    {u"setup.exe", {}},
    {u"setup.exe   \t ", {}},
    {u"\"C:\\Program Files\\Vendor\\setup.exe\"", {}},
    {u"\"C:\\Program Files\\setup.exe\" /x", {u"/x"}},
    // A closing quote does not end a word: word 0 runs on, and /silent is part of it.
    {u"\"C:\\a b\\setup.exe\"/silent", {}},
    {u"setup.exe /silent \"/temp\" \"C:\\My Temp\" \"\" x\"y z\"", {u"/silent", u"/temp", u"C:\\My Temp", u"xy z"}},
    {u"setup.exe a b  c", {u"a", u"b", u"c"}},
    {u"setup.exe\ta\tb", {u"a", u"b"}},
    // Every character from U+0001 to U+0020 separates words.
    {u"setup.exe \x01" u"a\x1F" u"b\r\nc\x0B" u"d\x1B", {u"a", u"b", u"c", u"d"}},
    // Above U+0020 everything belongs to the word, DEL and non-ASCII included.
    {u"setup.exe a\x7F" u"b \u00E9t\u00E9 \u4E2D\u6587", {u"a\x7F" u"b", u"\u00E9t\u00E9", u"\u4E2D\u6587"}},
    {u"setup.exe a\"\"b", {u"ab"}},
    {u"setup.exe a\"b c\"d", {u"ab cd"}},
    {u"setup.exe \"a\tb\"", {u"a\tb"}},
    {u"setup.exe \"\" \"\" x \"\"", {u"x"}},
    {u"setup.exe \"\"\"\"x", {u"x"}},
    {u"setup.exe \"\"x\"\"", {u"x"}},
    {u"setup.exe a \"\" b", {u"a", u"b"}},
    // A lone quote at the end makes an empty word: the count stops there.
    {u"setup.exe x \"", {u"x"}},
    {u"setup.exe \"", {}},
    // An unclosed quote runs to the end of the text.
    {u"setup.exe x \"a b", {u"x", u"a b"}},
    {u"setup.exe x\"a b", {u"xa b"}},
    // No escape character: the backslash is ordinary and the quote after it closes.
    {u"setup.exe \"C:\\dir\\\" x", {u"C:\\dir\\", u"x"}},
    {u"setup.exe a\\\"b c\"", {u"a\\b c"}},
    {u"setup.exe /32", {u"/32"}},
};

TEST(CommandLineSplit, Table) {
    for (const SplitCase& c : kSplitCases) {
        const std::u16string line = c.commandLine;
        EXPECT_EQ(ArgumentCount(c.commandLine), static_cast<int32_t>(c.arguments.size())) << Narrow(line);
        EXPECT_EQ(Show(Split(line)), Show(c.arguments)) << Narrow(line);
        EXPECT_EQ(Split(line), c.arguments) << Narrow(line);
        // Beyond N every argument is empty.
        StubString argument(u"stale");
        for (int32_t i : {1, 2, 10}) {
            const int32_t index = static_cast<int32_t>(c.arguments.size()) + i;
            Argument(c.commandLine, index, argument);
            EXPECT_TRUE(argument.IsEmpty()) << Narrow(line) << ", argument " << index;
        }
    }
}

TEST(SwitchMatch, Table) {
    struct Row {
        const char16_t* argument;
        const char16_t* name;
        bool matches;
    };
    const Row rows[] = {
        {u"/S", u"/s", true},
        {u"/s", u"/S", true},
        {u"/SiLeNt", u"/silent", true},
        {u"/TEMP", u"/temp", true},
        {u"/silent ", u"/silent", false},
        {u" /silent", u"/silent", false},
        {u"/silen", u"/silent", false},
        {u"/s\u00EDlent", u"/silent", false},
        {u"/s\u00EDlent", u"/s\u00EDlent", true},
        // Only a-z fold: neither Latin-1 letters nor the characters 32 below
        // or above a-z's neighbours.
        {u"/\u00C9", u"/\u00E9", false},
        {u"/[", u"/{", false},
        {u"/@", u"/`", false},
        {u"/~", u"/^", false},
        {u"/\x01", u"/!", false},
        {u"", u"", true},
        {u"", u"/s", false},
        {u"/s", u"", false},
        {u"-s", u"/s", false},
    };
    for (const Row& r : rows) {
        const StubString argument(r.argument);
        EXPECT_EQ(SwitchMatches(argument, r.name), r.matches)
            << Narrow(r.argument) << " vs " << Narrow(r.name);
    }
}

TEST(SwitchMatch, AmongTheArguments) {
    struct Row {
        const char16_t* commandLine;
        const char16_t* name;
        const char16_t* second;
        bool found;
    };
    const Row rows[] = {
        {u"setup.exe", u"/s", nullptr, false},
        {u"setup.exe", u"", nullptr, false},          // no arguments: nothing matches, not even ""
        {u"setup.exe \"\"", u"", nullptr, false},
        {u"/s", u"/s", nullptr, false},               // word 0 is never an argument
        {u"setup.exe /S", u"/silent", u"/s", true},
        {u"setup.exe /SILENT x", u"/silent", u"/s", true},
        {u"setup.exe x \"/silent \"", u"/silent", u"/s", false},
        {u"setup.exe /si", u"/silent", u"/s", false},
        {u"setup.exe a \"/Temp\" b", u"/temp", nullptr, true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(HasSwitch(r.commandLine, r.name, r.second), r.found)
            << Narrow(r.commandLine) << " / " << Narrow(r.name);
}

TEST(PackagePath, UniversalNameConversion) {
    struct Row {
        const char16_t* launcher;
        bool known;               // the network provider has a universal name for it
        const char16_t* expected;
        int calls;
    };
    const Row rows[] = {
        {u"Z:\\pkg\\setup.exe", true, u"\\\\srv\\dist\\pkg\\setup.exe", 1},
        {u"z:\\pkg\\setup.exe", true, u"\\\\srv\\dist\\pkg\\setup.exe", 1},
        // A local drive: the provider fails and the path stays as it is.
        {u"C:\\Downloads\\setup.exe", false, u"C:\\Downloads\\setup.exe", 1},
        // Not drive-and-colon: never asked, even where it would have an answer.
        {u"\\\\srv\\share\\setup.exe", true, u"\\\\srv\\share\\setup.exe", 0},
        {u"\\\\?\\C:\\setup.exe", true, u"\\\\?\\C:\\setup.exe", 0},
        {u"setup.exe", true, u"setup.exe", 0},
        {u"C", true, u"C", 0},
    };
    for (const Row& r : rows) {
        FakeWindows fake;
        if (r.known) fake.universalNames[r.launcher] = u"\\\\srv\\dist\\pkg\\setup.exe";
        const StubString launcher(r.launcher);
        StubString packagePath(u"stale");
        PackagePath(fake, launcher, packagePath);
        EXPECT_EQ(Narrow(Text(packagePath)), Narrow(r.expected)) << Narrow(r.launcher);
        EXPECT_EQ(fake.universalNameCalls, r.calls) << Narrow(r.launcher);
    }
}

TEST(ArgumentString, QuotingTable) {
    struct Row {
        const char16_t* commandLine;
        const char16_t* expected;
    };
    const Row rows[] = {
        {u"setup.exe", u"\"\\\\srv\\share\\setup.exe\""},
        {u"setup.exe \"\" ", u"\"\\\\srv\\share\\setup.exe\""},
        {u"setup.exe /silent", u"\"\\\\srv\\share\\setup.exe\" /silent"},
        {u"setup.exe \"C:\\My Temp\" x", u"\"\\\\srv\\share\\setup.exe\" \"C:\\My Temp\" x"},
        // Every character up to U+0020 calls for quotes, as the splitting
        // ends a word at each of them; a no-break space does not.
        {u"setup.exe \"a\tb\"", u"\"\\\\srv\\share\\setup.exe\" \"a\tb\""},
        {u"setup.exe \"a\nb\" \"c\x01\"", u"\"\\\\srv\\share\\setup.exe\" \"a\nb\" \"c\x01\""},
        {u"setup.exe \" \"", u"\"\\\\srv\\share\\setup.exe\" \" \""},
        {u"setup.exe a\u00A0b", u"\"\\\\srv\\share\\setup.exe\" a\u00A0b"},
        // Trailing backslashes of a quoted argument go after its closing
        // quote; elsewhere, and in arguments left unquoted, they stay.
        {u"setup.exe \"C:\\My Logs\\\" x", u"\"\\\\srv\\share\\setup.exe\" \"C:\\My Logs\"\\ x"},
        {u"setup.exe \"C:\\My Logs\\\\\"", u"\"\\\\srv\\share\\setup.exe\" \"C:\\My Logs\"\\\\"},
        {u"setup.exe \"\\\\srv\\my share\\d\"", u"\"\\\\srv\\share\\setup.exe\" \"\\\\srv\\my share\\d\""},
        {u"setup.exe \"a\tb\\\"", u"\"\\\\srv\\share\\setup.exe\" \"a\tb\"\\"},
        {u"setup.exe \" lead\" \"trail \"", u"\"\\\\srv\\share\\setup.exe\" \" lead\" \"trail \""},
        {u"setup.exe \"/32\" /S", u"\"\\\\srv\\share\\setup.exe\" /32 /S"},
        {u"setup.exe C:\\dir\\", u"\"\\\\srv\\share\\setup.exe\" C:\\dir\\"},
    };
    for (const Row& r : rows) {
        FakeWindows fake;
        const StubString launcher(u"\\\\srv\\share\\setup.exe");
        StubString arguments;
        BuildArgumentString(fake, r.commandLine, launcher, arguments);
        EXPECT_EQ(Narrow(Text(arguments)), Narrow(r.expected)) << Narrow(r.commandLine);
        EXPECT_EQ(Text(arguments), std::u16string(r.expected)) << Narrow(r.commandLine);
    }
}

// An engine that splits its command line by the launcher's rule gets back
// the package path and every argument unchanged, and so does one built with
// the C runtime (CommandLineToArgvW).
TEST(ArgumentString, EngineSplitsItBackTheSame) {
    std::vector<SplitCase> cases = kSplitCases;
    // Trailing backslashes, which the C runtime reads as escapes before a
    // closing quote.
    cases.push_back({u"setup.exe \"C:\\My Logs\\\" /log", {u"C:\\My Logs\\", u"/log"}});
    cases.push_back({u"setup.exe \"C:\\a b\\\\\" \"x y\\\"", {u"C:\\a b\\\\", u"x y\\"}});
    cases.push_back({u"setup.exe \"a\tb\\\" c\\", {u"a\tb\\", u"c\\"}});
    for (const SplitCase& c : cases) {
        FakeWindows fake;
        const StubString launcher(u"C:\\Users\\me\\Down loads\\setup.exe");
        StubString arguments;
        BuildArgumentString(fake, c.commandLine, launcher, arguments);
        const std::u16string engineLine = u"\"C:\\Temp\\setup.exe\" " + Text(arguments);
        std::vector<std::u16string> expected{u"C:\\Users\\me\\Down loads\\setup.exe"};
        expected.insert(expected.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(Show(Split(engineLine)), Show(expected)) << Narrow(c.commandLine);
        // The C runtime splits at spaces and tabs only and keeps other
        // control characters in the word: inside quotes they arrive whole.
        EXPECT_EQ(Show(SplitLikeTheCRuntime(engineLine)), Show(expected))
            << Narrow(c.commandLine) << " -> " << Narrow(engineLine);
    }
}

TEST(ArgumentString, WorkedExample) {
    FakeWindows fake;
    fake.universalNames[u"Z:\\pkg\\setup.exe"] = u"\\\\srv\\dist\\pkg\\setup.exe";
    const char16_t* commandLine = u"setup.exe /silent \"/temp\" \"C:\\My Temp\" \"\" x\"y z\"";
    EXPECT_EQ(ArgumentCount(commandLine), 4);
    const StubString launcher(u"Z:\\pkg\\setup.exe");
    StubString arguments;
    BuildArgumentString(fake, commandLine, launcher, arguments);
    EXPECT_EQ(Text(arguments),
              std::u16string(u"\"\\\\srv\\dist\\pkg\\setup.exe\" /silent /temp \"C:\\My Temp\" \"xy z\""));
    EXPECT_EQ(fake.universalNameCalls, 1);
}

// The same example as a whole run, started directly (by an administrator):
// the engine's command line is the copy's path (in a folder of its own in
// the /temp folder) followed by the argument string.
TEST(ArgumentString, WorkedExampleWholeRun) {
    FakeWindows fake;
    fake.modulePath = u"Z:\\pkg\\setup.exe";
    fake.commandLine = u"setup.exe /silent \"/temp\" \"C:\\My Temp\" \"\" x\"y z\"";
    fake.universalNames[u"Z:\\pkg\\setup.exe"] = u"\\\\srv\\dist\\pkg\\setup.exe";
    fake.AddFolder(u"C:\\My Temp");
    fake.administrator = true;
    InstallPackage(fake, BuildPackage(SoundRecipe()));
    const RunOutcome outcome = RunLauncherOn(fake);
    EXPECT_TRUE(outcome.returnedNormally);
    EXPECT_TRUE(fake.messages.empty());
    ASSERT_EQ(fake.starts.size(), 1u);
    EXPECT_FALSE(fake.starts[0].shell);
    EXPECT_EQ(Narrow(fake.starts[0].commandLine),
              "\"C:\\My Temp\\" + Narrow(kFirstRunFolder) +
                  "\\setup.exe\" \"\\\\srv\\dist\\pkg\\setup.exe\" /silent /temp \"C:\\My Temp\" \"xy z\"");
}

}  // namespace
