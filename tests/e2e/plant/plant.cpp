// A DLL planted as hid.dll and setupapi.dll where SETUP.EXE must not look.
// Loading it leaves a mark, its own path with ".loaded" after it; it exports
// what SETUP.EXE would import from either DLL, so that a program linked to
// them starts with it, and each call fails as the real one fails.
#include <windows.h>

#include <cstring>

#define PLANT_EXPORT extern "C" __declspec(dllexport)

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    static const char suffix[] = ".loaded";
    char path[MAX_PATH + sizeof suffix];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    memcpy(path + length, suffix, sizeof suffix);
    HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
    return TRUE;
}

// For rundll32, which shows that the mark works.
PLANT_EXPORT void CALLBACK Load(HWND, HINSTANCE, LPSTR, int) {}

PLANT_EXPORT void WINAPI HidD_GetHidGuid(GUID* guid) {
    memset(guid, 0, sizeof *guid);
}

PLANT_EXPORT BOOLEAN WINAPI HidD_GetAttributes(HANDLE, void*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

PLANT_EXPORT HANDLE WINAPI SetupDiGetClassDevsA(const GUID*, const char*, HWND, DWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_HANDLE_VALUE;
}

PLANT_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(HANDLE, void*, const GUID*, DWORD, void*) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

PLANT_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HANDLE, void*, void*, DWORD, DWORD*,
                                                          void*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

PLANT_EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HANDLE, DWORD, void*) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

PLANT_EXPORT BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HANDLE, void*, DWORD, DWORD*, BYTE*,
                                                           DWORD, DWORD*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

PLANT_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HANDLE) {
    return TRUE;
}
