#include "EngineStart.h"

#include "CommandLine.h"
#include "Fatal.h"
#include "TempCopy.h"

StartPlan PlanEngineStart(Platform& platform, const char16_t* commandLine, uint32_t windowsMajor,
                          uint8_t elevationMode) {
    StartPlan plan;
    if (windowsMajor < 6 || platform.IsAdministrator()) return plan;
    // A standard user on Vista or later: through the shell, so that the
    // engine can be elevated when the package asks for it.
    plan.kind = StartKind::Shell;
    plan.verb = u"open";
    const bool silent = IsSilentRun(commandLine);
    plan.noErrorUi = silent || !platform.HasVisibleWindowStation();
    if (!silent || elevationMode == 2) {
        plan.appendNoAdmin = true;
    } else if (elevationMode == 1) {
        plan.verb = u"runas";
    }
    return plan;
}

uint32_t StartEngine(Platform& platform, const EngineLaunch& launch) {
    const StartPlan plan =
        PlanEngineStart(platform, launch.commandLine, launch.windowsMajor, launch.elevationMode);
    StartResult result;
    if (plan.kind == StartKind::Direct) {
        StubString commandLine;
        commandLine.Append(u'"');
        commandLine.Append(*launch.copyPath);
        commandLine.Append(u"\" ");
        commandLine.Append(*launch.arguments);
        StubString folder;
        PathPart(*launch.launcherPath, folder);
        result = platform.StartProcess(commandLine.Data(), folder.Text());
    } else {
        if (plan.appendNoAdmin) launch.arguments->Append(u" /noadmin");
        result = platform.ShellStart(plan.verb, launch.copyPath->Text(), launch.arguments->Text(),
                                     plan.noErrorUi);
    }
    if (!result.started) FailEngineStart(platform, result.error);
    // The engine has its image mapped now; the copy may be deleted once it ends.
    platform.CloseHandle(launch.heldCopy);

    uint32_t exitCode = 0;
    if (launch.waitAndDelete) {
        if (result.process) {
            platform.WaitFor(result.process);
            exitCode = platform.ExitCodeOf(result.process);
            platform.CloseHandle(result.process);
        }
        platform.RemoveFile(launch.copyPath->Text());
        // Gone only when empty: whatever the engine left there stays.
        platform.RemoveFolder(launch.runFolder->Text());
    } else if (result.process) {
        platform.CloseHandle(result.process);
    }
    return exitCode;
}
