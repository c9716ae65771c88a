#include "StubCore.h"

#include "../NoRTLStream/NoRTLStream.h"
#include "CommandLine.h"
#include "EngineStart.h"
#include "Extraction.h"
#include "PackageFile.h"
#include "PayloadSelection.h"
#include "TempCopy.h"
#include "WindowsGate.h"

uint32_t RunLauncher(Platform& platform) {
    StubString launcherPath;
    platform.ModuleFileName(launcherPath);
    const char16_t* commandLine = platform.CommandLine();

    OpenPackage package;
    OpenAndVerifyPackage(platform, launcherPath, package);
    const PayloadEntry entry = ChoosePayload(platform, package.file, package.header, commandLine);
    const VersionRecord version = PassWindowsGate(platform, package.file, package.header);

    StubString runFolder, copyPath;
    Handle heldCopy;
    {
        // Constructed input first, output second: released in reverse order.
        TStream input;
        TStream output;
        ReadPayload(platform, package.file, package.fileSize, entry, input);
        DecodePayload(platform, package.header, entry, input, output);
        StubString folder;
        ChooseTemporaryFolder(platform, commandLine, launcherPath, folder);
        CreateRunFolder(platform, folder, runFolder);
        folder.Assign(runFolder);
        folder.Append(u'\\');
        ChooseTemporaryCopyPath(platform, folder, launcherPath, copyPath);
        heldCopy = WriteTemporaryCopy(platform, runFolder, copyPath, output,
                                      static_cast<int32_t>(entry.unpackedSize));
    }
    // The engine may want to open the package itself.
    platform.CloseHandle(package.file);

    StubString arguments;
    BuildArgumentString(platform, commandLine, launcherPath, arguments);
    EngineLaunch launch;
    launch.commandLine = commandLine;
    launch.launcherPath = &launcherPath;
    launch.runFolder = &runFolder;
    launch.copyPath = &copyPath;
    launch.arguments = &arguments;
    launch.windowsMajor = version.major;
    launch.elevationMode = package.header.elevationMode;
    launch.waitAndDelete = package.locator.minimumFileSize == 0;
    launch.heldCopy = heldCopy;
    return StartEngine(platform, launch);
}
