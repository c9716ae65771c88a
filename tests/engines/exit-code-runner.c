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
 *
 * When E2E_STANDARD_USER is 1, the child runs as a standard user: with the
 * runner's linked (limited) token, restricted so that BUILTIN\Administrators
 * counts for deny only.  That is what a user who is no administrator, or an
 * administrator whose token UAC has filtered, gives a program on Windows:
 * CheckTokenMembership answers false, and every process the child starts
 * keeps the token.  Prints "tokenfailed=STEP,ERROR" when no such token can
 * be made.
 *
 * When E2E_HIDDEN_WINDOW_STATION is 1, the child runs on a window station of
 * its own that is not visible (no WSF_VISIBLE), as a service's program does
 * in session 0, where nobody can see or dismiss a window.
 */
#include <windows.h>
#include <stdio.h>

/* A standard user's token, or NULL (after printing why). */
static HANDLE standard_user_token(void) {
    HANDLE own = NULL, restricted = NULL;
    TOKEN_LINKED_TOKEN linked;
    DWORD size = 0;
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    SID_AND_ATTRIBUTES deny;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
        printf("tokenfailed=open,%lu\n", (unsigned long)GetLastError());
        return NULL;
    }
    linked.LinkedToken = NULL;
    if (!GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size)) {
        printf("tokenfailed=linked,%lu\n", (unsigned long)GetLastError());
        CloseHandle(own);
        return NULL;
    }
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    deny.Sid = administrators;
    deny.Attributes = 0;
    if (!CreateRestrictedToken(linked.LinkedToken, 0, 1, &deny, 0, NULL, 0, NULL, &restricted)) {
        printf("tokenfailed=restrict,%lu\n", (unsigned long)GetLastError());
        restricted = NULL;
    }
    FreeSid(administrators);
    CloseHandle(linked.LinkedToken);
    CloseHandle(own);
    return restricted;
}

/* Makes a window station that is not the interactive one, with a desktop,
 * and returns its desktop's name for STARTUPINFO, or NULL. */
static wchar_t *hidden_desktop(void) {
    static wchar_t name[] = L"e2e-hidden\\Default";
    HWINSTA own = GetProcessWindowStation(), hidden;
    HDESK desktop;
    hidden = CreateWindowStationW(L"e2e-hidden", 0, WINSTA_ALL_ACCESS, NULL);
    if (!hidden || !SetProcessWindowStation(hidden)) {
        printf("stationfailed=%lu\n", (unsigned long)GetLastError());
        return NULL;
    }
    desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    SetProcessWindowStation(own);
    if (!desktop) {
        printf("stationfailed=%lu\n", (unsigned long)GetLastError());
        return NULL;
    }
    return name;
}

int wmain(void) {
    wchar_t *p = GetCommandLineW();
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    HANDLE token = NULL;
    BOOL started;
    static wchar_t exact[32768];
    wchar_t flag[8];
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
    if (GetEnvironmentVariableW(L"E2E_STANDARD_USER", flag, 8) > 0 && flag[0] == L'1') {
        token = standard_user_token();
        if (!token) return 1;
    }
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    if (GetEnvironmentVariableW(L"E2E_HIDDEN_WINDOW_STATION", flag, 8) > 0 && flag[0] == L'1') {
        si.lpDesktop = hidden_desktop();
        if (!si.lpDesktop) return 1;
    }
    ZeroMemory(&pi, sizeof pi);
    started = token ? CreateProcessAsUserW(token, NULL, p, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)
                    : CreateProcessW(NULL, p, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    if (!started) {
        printf("startfailed=%lu\n", (unsigned long)GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exitcode=%lu\n", (unsigned long)code);
    fflush(stdout);
    return 0;
}
