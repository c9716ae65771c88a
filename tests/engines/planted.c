/* A stand-in for a DLL that a web page dropped into a Downloads folder next
 * to an installer.  When any process loads it, it leaves a marker file
 * "<its own path>.loaded" beside itself.  It is copied under the names of
 * system libraries (mpr.dll, ...); it exports WNetGetUniversalNameW so that a
 * program importing that function from "mpr.dll" still starts with it, and
 * GetFileVersionInfoSizeW so that a test engine importing it from
 * "version.dll" does too.
 */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 16];
        DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            HANDLE marker;
            lstrcatW(path, L".loaded");
            marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
        }
    }
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR file, LPDWORD handle) {
    (void)file;
    if (handle) *handle = 0;
    return 0;
}

__declspec(dllexport) DWORD WINAPI WNetGetUniversalNameW(LPCWSTR path, DWORD level, LPVOID buffer, LPDWORD size) {
    (void)path; (void)level; (void)buffer; (void)size;
    return ERROR_NOT_SUPPORTED;
}
