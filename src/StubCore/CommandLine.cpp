#include "CommandLine.h"

namespace {

// Splits one word off text and returns where the next one starts; empty
// tells whether the word had no character at all.  Control characters,
// spaces and "" pairs before the word are skipped; a quote opens a stretch
// that runs to the next quote (or the end) with spaces included; quotes are
// dropped and there is no escape.  Only the end of the text, or a lone quote
// at the end, gives an empty word.
const char16_t* NextWord(const char16_t* p, StubString* word, bool& empty) {
    empty = true;
    for (;;) {
        while (*p >= 1 && *p <= 0x20) ++p;
        if (p[0] == u'"' && p[1] == u'"') {
            p += 2;
            continue;
        }
        break;
    }
    while (*p > 0x20) {
        if (*p == u'"') {
            ++p;
            while (*p && *p != u'"') {
                if (word) word->Append(*p);
                empty = false;
                ++p;
            }
            if (*p) ++p;
        } else {
            if (word) word->Append(*p);
            empty = false;
            ++p;
        }
    }
    return p;
}

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

int32_t ArgumentCount(const char16_t* commandLine) {
    bool empty;
    const char16_t* p = NextWord(commandLine, nullptr, empty);  // the program name
    int32_t count = 0;
    for (;;) {
        p = NextWord(p, nullptr, empty);
        if (empty) return count;
        ++count;
    }
}

void Argument(const char16_t* commandLine, int32_t index, StubString& argument) {
    argument.Clear();
    if (index < 1) return;
    bool empty;
    const char16_t* p = NextWord(commandLine, nullptr, empty);
    for (int32_t i = 1; i < index; ++i) {
        p = NextWord(p, nullptr, empty);
        if (empty) return;
    }
    NextWord(p, &argument, empty);
}

bool SwitchMatches(const StubString& argument, const char16_t* name) {
    const int32_t n = TextLength(name);
    if (argument.Length() != n) return false;
    for (int32_t i = 0; i < n; ++i)
        if (Fold(argument.At(i)) != Fold(name[i])) return false;
    return true;
}

bool HasSwitch(const char16_t* commandLine, const char16_t* name, const char16_t* second) {
    StubString argument;
    for (int32_t i = ArgumentCount(commandLine); i >= 1; --i) {
        Argument(commandLine, i, argument);
        if (SwitchMatches(argument, name) || (second && SwitchMatches(argument, second))) return true;
    }
    return false;
}

void PackagePath(Platform& platform, const StubString& launcherPath, StubString& packagePath) {
    packagePath.Assign(launcherPath);
    if (launcherPath.Length() < 2 || launcherPath.At(1) != u':') return;
    StubString universal;
    if (platform.UniversalName(launcherPath.Text(), universal)) packagePath.Assign(universal);
}

void BuildArgumentString(Platform& platform, const char16_t* commandLine,
                         const StubString& launcherPath, StubString& arguments) {
    StubString packagePath;
    PackagePath(platform, launcherPath, packagePath);
    arguments.Clear();
    arguments.Append(u'"');
    arguments.Append(packagePath);
    arguments.Append(u'"');
    StubString argument;
    const int32_t count = ArgumentCount(commandLine);
    for (int32_t i = 1; i <= count; ++i) {
        Argument(commandLine, i, argument);
        arguments.Append(u' ');
        // The splitting ends a word at any character up to U+0020, so every
        // argument that holds one must be quoted to come back whole.
        bool quote = false;
        for (int32_t k = 0; k < argument.Length(); ++k) quote |= argument.At(k) <= 0x20;
        if (!quote) {
            arguments.Append(argument);
            continue;
        }
        // Trailing backslashes go after the closing quote: "C:\My Logs"\.
        // This splitting reads that as C:\My Logs\, and so does the C
        // runtime's (CommandLineToArgvW), for which a backslash before the
        // closing quote would escape it and merge the following arguments.
        int32_t end = argument.Length();
        while (end > 0 && argument.At(end - 1) == u'\\') --end;
        arguments.Append(u'"');
        arguments.Append(argument.Text(), end);
        arguments.Append(u'"');
        arguments.Append(argument.Text() + end, argument.Length() - end);
    }
}
