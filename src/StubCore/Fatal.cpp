#include "Fatal.h"

#include "CommandLine.h"
#include "Platform.h"

const char16_t kDamagedPackageMessage[] =
    u"An error occurred while trying to read the setup package.  It has most likely been "
    u"damaged.  Please obtain a new copy from the vendor.";
const char16_t kTruncatedPackageMessage[] =
    u"The setup package has been truncated.  You most likely have an incomplete download.  "
    u"Try downloading it again.";
const char16_t kTemporaryCopyMessage[] =
    u"An error occurred while trying to create a temporary copy of the setup package.  Please "
    u"make sure that you have sufficient access rights to this computer to install software and "
    u"that the Windows TEMP folder can be written to.  You can make this installer use a "
    u"different folder for its temporary files using the /temp command line parameter followed "
    u"by the path to a folder you can write to and run applications from.";
const char16_t kEngineStartMessage[] =
    u"The temporary copy of the setup package could not be executed.  Your system may have a "
    u"software restriction policy in place that blocks executables in the temporary files "
    u"folder.  You can make this installer use a different folder for its temporary files "
    u"using the /temp command line parameter followed by the path to a folder you can write "
    u"to and run applications from.";

bool IsSilentRun(const char16_t* commandLine) { return HasSwitch(commandLine, u"/silent", u"/s"); }

bool MessagesMayBeShown(Platform& platform) {
    return !IsSilentRun(platform.CommandLine()) && platform.HasVisibleWindowStation();
}

void ShowAndExit(Platform& platform, const char16_t* text, uint32_t exitCode) {
    if (MessagesMayBeShown(platform)) {
        StubString caption;
        platform.ModuleFileName(caption);
        platform.ShowMessage(text, caption.Text(), kMessageStyleError);
    }
    platform.Exit(exitCode);
    // Exit never returns; this tells the compiler so, whatever the platform.
    __builtin_unreachable();
}

void FailDamagedPackage(Platform& platform) {
    ShowAndExit(platform, kDamagedPackageMessage, kExitDamagedPackage);
}

void FailTruncatedPackage(Platform& platform) {
    ShowAndExit(platform, kTruncatedPackageMessage, kExitTruncatedPackage);
}

void FailTemporaryCopy(Platform& platform) {
    ShowAndExit(platform, kTemporaryCopyMessage, kExitTemporaryCopy);
}

void FailEngineStart(Platform& platform, uint32_t error) {
    ShowAndExit(platform, kEngineStartMessage, error ? error : kExitEngineStartUnknown);
}
