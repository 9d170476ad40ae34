// hid.dll and setupapi.dll from the system directory alone; see platform.h.
#include "../platform.h"

namespace {

template <typename Function>
Function Cast(FARPROC address) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

bool RestrictDllSearch() {
    // Missing before Windows 8 without its update; LoadLibraryExA then
    // refuses the flag below too, and the wrappers report the DLL missing.
    auto setDefault = Cast<decltype(&SetDefaultDllDirectories)>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories"));
    return setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool DllSearchRestricted() {
    static const bool restricted = RestrictDllSearch();
    return restricted;
}

// Before main too, so that whatever DLL Windows itself loads into the
// program later comes from the system directory.
[[maybe_unused]] const bool restrictedAtStart = DllSearchRestricted();

HMODULE LoadSystemDll(const char* name) {
    DllSearchRestricted();
    return LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE Hid() {
    static const HMODULE module = LoadSystemDll("hid.dll");
    return module;
}

HMODULE SetupApi() {
    static const HMODULE module = LoadSystemDll("setupapi.dll");
    return module;
}

// A function of a system DLL, or the error its wrapper reports without it.
template <typename Function>
struct Resolved {
    Function call;
    DWORD error;

    Resolved(HMODULE module, const char* name)
        : call(module ? Cast<Function>(GetProcAddress(module, name)) : nullptr),
          error(module ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND) {}

    bool Missing() const {
        if (call) return false;
        SetLastError(error);
        return true;
    }
};

}  // namespace

void WINAPI Vtn2HidD_GetHidGuid(LPGUID HidGuid) {
    static const Resolved<decltype(&Vtn2HidD_GetHidGuid)> real(Hid(), "HidD_GetHidGuid");
    if (real.Missing()) {
        *HidGuid = GUID();
        return;
    }
    real.call(HidGuid);
}

BOOLEAN WINAPI Vtn2HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    static const Resolved<decltype(&Vtn2HidD_GetAttributes)> real(Hid(), "HidD_GetAttributes");
    if (real.Missing()) return FALSE;
    return real.call(HidDeviceObject, Attributes);
}

HDEVINFO WINAPI Vtn2SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                         DWORD Flags) {
    static const Resolved<decltype(&Vtn2SetupDiGetClassDevsA)> real(SetupApi(),
                                                                    "SetupDiGetClassDevsA");
    if (real.Missing()) return INVALID_HANDLE_VALUE;
    return real.call(ClassGuid, Enumerator, hwndParent, Flags);
}

BOOL WINAPI Vtn2SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                               PSP_DEVINFO_DATA DeviceInfoData,
                                               const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                               PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    static const Resolved<decltype(&Vtn2SetupDiEnumDeviceInterfaces)> real(
        SetupApi(), "SetupDiEnumDeviceInterfaces");
    if (real.Missing()) return FALSE;
    return real.call(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex,
                     DeviceInterfaceData);
}

BOOL WINAPI Vtn2SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    static const Resolved<decltype(&Vtn2SetupDiGetDeviceInterfaceDetailA)> real(
        SetupApi(), "SetupDiGetDeviceInterfaceDetailA");
    if (real.Missing()) return FALSE;
    return real.call(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                     DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
}

BOOL WINAPI Vtn2SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                         PSP_DEVINFO_DATA DeviceInfoData) {
    static const Resolved<decltype(&Vtn2SetupDiEnumDeviceInfo)> real(SetupApi(),
                                                                     "SetupDiEnumDeviceInfo");
    if (real.Missing()) return FALSE;
    return real.call(DeviceInfoSet, MemberIndex, DeviceInfoData);
}

BOOL WINAPI Vtn2SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                     PSP_DEVINFO_DATA DeviceInfoData,
                                                     DWORD Property, PDWORD PropertyRegDataType,
                                                     PBYTE PropertyBuffer,
                                                     DWORD PropertyBufferSize,
                                                     PDWORD RequiredSize) {
    static const Resolved<decltype(&Vtn2SetupDiGetDeviceRegistryPropertyA)> real(
        SetupApi(), "SetupDiGetDeviceRegistryPropertyA");
    if (real.Missing()) return FALSE;
    return real.call(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType,
                     PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL WINAPI Vtn2SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    static const Resolved<decltype(&Vtn2SetupDiDestroyDeviceInfoList)> real(
        SetupApi(), "SetupDiDestroyDeviceInfoList");
    if (real.Missing()) return FALSE;
    return real.call(DeviceInfoSet);
}
