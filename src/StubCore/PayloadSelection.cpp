#include "PayloadSelection.h"

#include "CommandLine.h"
#include "Fatal.h"
#include "PackageMessages.h"

bool Has32BitSwitch(const char16_t* commandLine) {
    StubString argument;
    for (int32_t i = ArgumentCount(commandLine); i >= 1; --i) {
        Argument(commandLine, i, argument);
        if (argument.Equals(u"/32")) return true;
    }
    return false;
}

PayloadSelection SelectPayload(const PackageHeader& header, const char16_t* commandLine,
                               Platform& platform) {
    PayloadSelection result;
    if (header.engine32.offset == 0) {
        // 64-bit only.  The entry is taken as it stands: a package without
        // any engine fails later, when its payload cannot be read.
        result.entry = header.engine64;
        result.refused = !platform.IsRunningUnderWow64();
    } else if (header.engine64.offset == kRefuse64BitWindows) {
        result.entry = header.engine32;
        result.refused = platform.IsRunningUnderWow64();
    } else if (header.engine64.offset == 0) {
        result.entry = header.engine32;
    } else if (Has32BitSwitch(commandLine)) {
        result.entry = header.engine32;
    } else {
        result.entry = platform.IsRunningUnderWow64() ? header.engine64 : header.engine32;
    }
    return result;
}

PayloadEntry ChoosePayload(Platform& platform, Handle file, const PackageHeader& header,
                           const char16_t* commandLine) {
    const PayloadSelection selection = SelectPayload(header, commandLine, platform);
    if (selection.refused)
        ShowPackageMessage(platform, file, header.wrongWidthMessage, nullptr, kExitWrongWidth);
    // A header with no 32-bit engine whose 64-bit entry says "none" as well
    // holds no engine at all.  Left alone, an empty entry would decode to an
    // empty "engine" and fail only at its start; it is a damaged package.
    if (selection.entry.offset == 0 || selection.entry.offset == kRefuse64BitWindows)
        FailDamagedPackage(platform);
    return selection.entry;
}
