/* resource-reader: what Windows itself reads from a program's resources,
 * for the end-to-end tests of mkpackage's --icon and --version-info.
 *
 *   resource-reader.exe FILE
 *
 * Prints, one "key=value" per line (UTF-8):
 *   version.<Key>=...       each string of \StringFileInfo\040904B0 that is set
 *   fileversion=a.b.c.d     from VS_FIXEDFILEINFO (absent without one)
 *   productversion=a.b.c.d
 *   icons=N                 ExtractIconExW's count of icons in the file
 *   largeicon=WxH           the size of the main icon's large image
 *   smallicon=WxH           and of its small image
 * Exits 1 when FILE has no version information at all.
 */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

static void put(const char *key, const wchar_t *value) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, buffer, sizeof buffer, NULL, NULL);
    printf("%s=%s\n", key, n > 0 ? buffer : "");
}

static void icon_size(const char *key, HICON icon) {
    ICONINFO info;
    BITMAP bitmap;
    if (!icon || !GetIconInfo(icon, &info)) return;
    if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap)) {
        /* A monochrome icon's mask holds both halves, one above the other. */
        printf("%s=%ldx%ld\n", key, bitmap.bmWidth, info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
}

int wmain(int argc, wchar_t **argv) {
    static const wchar_t *const keys[] = {L"CompanyName",   L"FileDescription", L"FileVersion",
                                          L"ProductName",   L"ProductVersion",  L"LegalCopyright",
                                          L"OriginalFilename", L"InternalName", L"Comments"};
    DWORD handle = 0, size;
    void *data;
    unsigned i;
    UINT length;
    HICON large = NULL, small = NULL;
    if (argc != 2) {
        fprintf(stderr, "usage: resource-reader FILE\n");
        return 2;
    }
    printf("icons=%u\n", ExtractIconExW(argv[1], -1, NULL, NULL, 0));
    if (ExtractIconExW(argv[1], 0, &large, &small, 1) > 0) {
        icon_size("largeicon", large);
        icon_size("smallicon", small);
    }
    size = GetFileVersionInfoSizeW(argv[1], &handle);
    if (size == 0) return 1;
    data = HeapAlloc(GetProcessHeap(), 0, size);
    if (!data || !GetFileVersionInfoW(argv[1], 0, size, data)) return 1;
    for (i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        wchar_t query[128];
        wchar_t *value;
        char key[64];
        wsprintfW(query, L"\\StringFileInfo\\040904B0\\%s", keys[i]);
        if (VerQueryValueW(data, query, (void **)&value, &length) && length > 0) {
            WideCharToMultiByte(CP_UTF8, 0, keys[i], -1, key + 8, sizeof key - 8, NULL, NULL);
            memcpy(key, "version.", 8);
            put(key, value);
        }
    }
    {
        VS_FIXEDFILEINFO *fixed;
        if (VerQueryValueW(data, L"\\", (void **)&fixed, &length) && length >= sizeof *fixed &&
            fixed->dwSignature == 0xFEEF04BD) {
            printf("fileversion=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                   HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
            printf("productversion=%u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS),
                   LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                   LOWORD(fixed->dwProductVersionLS));
        }
    }
    return 0;
}
