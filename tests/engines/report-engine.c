/* A stand-in setup engine for the end-to-end tests.  It writes what it was
 * given into "<package path>.report" (UTF-8, one "key=value" per line), next
 * to the package path it receives as its first argument, then exits with the
 * code given as "/exit=N" (0 without one).  "/sleep=MS" makes it wait first.
 *
 * Keys: commandline, cwd, self, self_size, bits (32 or 64: which build of
 * this program ran), wow64 (yes when a 32-bit build runs on 64-bit Windows),
 * admin (yes when CheckTokenMembership finds BUILTIN\Administrators in its
 * token), elevation (TokenElevationType: default, full or limited),
 * argc and arg1, arg2, ... (its arguments as the C runtime's rule splits
 * them: CommandLineToArgvW), version_dll (the path of the version.dll it
 * imports, as loaded: a planted copy must never be the one), folder_dacl
 * (the DACL of the folder it runs from, in SDDL), package_closed (whether the package
 * file could be opened for deletion with full sharing: the launcher's own
 * handle shares reading only, so this fails while the launcher holds it open;
 * the running launcher image itself does not stand in the way, as renaming a
 * running program is allowed).
 *
 * Control characters and '%' in values are written as %XX, so that a value
 * stays on its line.
 */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

static void put(HANDLE out, const char *key, const wchar_t *value) {
    static wchar_t escaped[8192];
    char buffer[8192 * 3];
    DWORD written;
    int i = 0, n;
    for (; *value && i < 8180; ++value) {
        if (*value < 0x20 || *value == L'%') {
            wsprintfW(escaped + i, L"%%%02X", (unsigned)*value);
            i += 3;
        } else {
            escaped[i++] = *value;
        }
    }
    escaped[i] = 0;
    n = WideCharToMultiByte(CP_UTF8, 0, escaped, -1, buffer, sizeof buffer, NULL, NULL);
    WriteFile(out, key, lstrlenA(key), &written, NULL);
    WriteFile(out, "=", 1, &written, NULL);
    if (n > 1) WriteFile(out, buffer, (DWORD)(n - 1), &written, NULL);
    WriteFile(out, "\n", 1, &written, NULL);
}

static int number_after(const wchar_t *arg, const wchar_t *prefix, int *value) {
    int i = 0, n = 0;
    while (prefix[i]) {
        if (arg[i] != prefix[i]) return 0;
        ++i;
    }
    while (arg[i] >= L'0' && arg[i] <= L'9') n = n * 10 + (arg[i++] - L'0');
    *value = n;
    return 1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR args, int show) {
    int argc = 0, exit_code = 0, sleep_ms = 0, i;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t path[4096], cwd[4096], self[4096];
    HANDLE out, probe;
    (void)instance; (void)previous; (void)args; (void)show;
    if (!argv || argc < 2) return 101;
    for (i = 2; i < argc; ++i) {
        number_after(argv[i], L"/exit=", &exit_code);
        number_after(argv[i], L"/sleep=", &sleep_ms);
    }
    if (sleep_ms) Sleep((DWORD)sleep_ms);

    probe = CreateFileW(argv[1], DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                        OPEN_EXISTING, 0, NULL);
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);

    lstrcpynW(path, argv[1], 4000);
    lstrcatW(path, L".report");
    out = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) return 102;
    GetCurrentDirectoryW(4096, cwd);
    GetModuleFileNameW(NULL, self, 4096);
    put(out, "commandline", GetCommandLineW());
    put(out, "cwd", cwd);
    put(out, "self", self);
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        wchar_t size[32];
        size[0] = 0;
        if (GetFileAttributesExW(self, GetFileExInfoStandard, &data)) wsprintfW(size, L"%lu", data.nFileSizeLow);
        put(out, "self_size", size);
    }
    put(out, "bits", sizeof(void *) == 8 ? L"64" : L"32");
    {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        put(out, "wow64", wow64 ? L"yes" : L"no");
    }
    {
        SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
        PSID administrators = NULL;
        BOOL member = FALSE;
        HANDLE token = NULL, identification = NULL;
        TOKEN_ELEVATION_TYPE type = 0;
        DWORD size = 0;
        /* CheckTokenMembership on a copy of the process's own token: what it
         * does when given no token, but told apart in the tests' relay trace
         * from the launcher's administrator test, which gives none. */
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
            GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
            if (!DuplicateToken(token, SecurityIdentification, &identification)) identification = NULL;
            CloseHandle(token);
        }
        if (identification && AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                                       0, 0, 0, 0, 0, 0, &administrators)) {
            if (!CheckTokenMembership(identification, administrators, &member)) member = FALSE;
            FreeSid(administrators);
        }
        if (identification) CloseHandle(identification);
        put(out, "admin", member ? L"yes" : L"no");
        put(out, "elevation", type == TokenElevationTypeFull      ? L"full"
                              : type == TokenElevationTypeLimited ? L"limited"
                              : type == TokenElevationTypeDefault ? L"default"
                                                                  : L"unknown");
    }
    {
        wchar_t name[16], version[MAX_PATH];
        DWORD unused = 0;
        put(out, "argc", (wsprintfW(name, L"%d", argc - 1), name));
        for (i = 1; i < argc; ++i) {
            char key[16];
            wsprintfA(key, "arg%d", i);
            put(out, key, argv[i]);
        }
        /* A real import, resolved by the loader before this program runs. */
        GetFileVersionInfoSizeW(self, &unused);
        version[0] = 0;
        GetModuleFileNameW(GetModuleHandleW(L"version.dll"), version, MAX_PATH);
        put(out, "version_dll", version);
    }
    {
        wchar_t folder[4096];
        PSECURITY_DESCRIPTOR descriptor = NULL;
        PACL dacl = NULL;
        LPWSTR text = NULL;
        wchar_t *cut;
        lstrcpynW(folder, self, 4096);
        cut = folder + lstrlenW(folder);
        while (cut > folder && *cut != L'\\') --cut;
        *cut = 0;
        if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL,
                                  &descriptor) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, NULL)) {
            put(out, "folder_dacl", text);
            LocalFree(text);
        }
        if (descriptor) LocalFree(descriptor);
    }
    put(out, "package_closed", probe != INVALID_HANDLE_VALUE ? L"yes" : L"no");
    CloseHandle(out);
    return exit_code;
}
