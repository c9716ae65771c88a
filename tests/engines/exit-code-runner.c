/* exit-code-runner: starts the command line that follows its own name, waits
 * for it and prints "exitcode=N" with the full 32-bit exit code.  Wine hands
 * Linux only the low 8 bits of a Windows exit code; the tests need all of it
 * (1392, 3010, ...).  Prints "startfailed=ERROR" when the start fails.
 *
 *   exit-code-runner.exe C:\path\stub64.exe /temp "C:\a b"
 *
 * When the environment variable E2E_COMMAND_LINE is set, it is the child's
 * command line, exactly: Wine would re-quote arguments given on its own
 * command line, and the tests need quoting the launcher must take apart.
 */
#include <windows.h>
#include <stdio.h>

int wmain(void) {
    wchar_t *p = GetCommandLineW();
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    static wchar_t exact[32768];
    /* Skip our own name: quoted, or up to the first space. */
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p > L' ') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    if (GetEnvironmentVariableW(L"E2E_COMMAND_LINE", exact, 32768) > 0) p = exact;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    ZeroMemory(&pi, sizeof pi);
    if (!CreateProcessW(NULL, p, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        printf("startfailed=%lu\n", (unsigned long)GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exitcode=%lu\n", (unsigned long)code);
    fflush(stdout);
    return 0;
}
