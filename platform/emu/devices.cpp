// Device setup and HID services of the emulated machine. Devices live where
// Windows keeps them, under HKLM\SYSTEM\CurrentControlSet\Enum.
#include "devices.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <stdexcept>

#include "codepage.h"
#include "hex.h"
#include "machine.h"
#include "registry_store.h"

namespace emu {

namespace {

constexpr GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr char kHidGuidText[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A snapshot of the devices or interfaces present when the set was built.
struct DeviceSet : Object {
    bool interfaces = false;
    std::vector<Device> devices;
};

struct DeviceHandle : Object {
    std::string path;
    std::string instanceId;
};

std::vector<Device> HidInterfaces(Registry& registry) {
    std::vector<Device> out;
    for (Device& device : PresentDevices(registry)) {
        if (NamesEqual(device.instanceId.substr(0, device.instanceId.find('\\')), "HID"))
            out.push_back(std::move(device));
    }
    return out;
}

// Reads the machine's registry through read(registry); the error that kept
// it unread, or 0.
template <class Read>
uint32_t ReadRegistry(Read read) {
    return WithRegistry([&](Registry& registry, bool&) -> uint32_t {
        read(registry);
        return 0;
    });
}

// The present devices or HID interfaces, or the error that kept them unread.
uint32_t ReadDevices(bool interfaces, std::vector<Device>& out) {
    return ReadRegistry([&](Registry& registry) {
        out = interfaces ? HidInterfaces(registry) : PresentDevices(registry);
    });
}

// The HID interface a device path names: "\\?\HID#DEVICE#INSTANCE#{guid}"
// with the instance ID's backslashes turned into '#'. The device and
// instance names may hold '#' themselves; of the ways to split the middle,
// the one with the shortest device name comes first in the listing, as a
// search of all interfaces in order would find it.
std::optional<std::string> FindInterface(Registry& registry, std::string_view path) {
    constexpr std::string_view kPrefix = "\\\\?\\HID#";
    const std::string suffix = std::string("#") + kHidGuidText;
    if (path.size() <= kPrefix.size() + suffix.size() ||
        !NamesEqual(path.substr(0, kPrefix.size()), kPrefix) ||
        !NamesEqual(path.substr(path.size() - suffix.size()), suffix))
        return std::nullopt;
    RegKey* hid = registry.FindPath("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\HID");
    if (!hid) return std::nullopt;
    std::string_view middle =
        path.substr(kPrefix.size(), path.size() - kPrefix.size() - suffix.size());
    for (size_t split = middle.find('#'); split != std::string_view::npos;
         split = middle.find('#', split + 1)) {
        RegKey* device = hid->Subkey(middle.substr(0, split));
        RegKey* instance = device ? device->Subkey(middle.substr(split + 1)) : nullptr;
        if (instance && instance->Value("ClassGUID"))
            return hid->name() + "\\" + device->name() + "\\" + instance->name();
    }
    return std::nullopt;
}

// The member of a set that a device or interface record names; the record's
// Reserved field carries the member's index, as it carries a pointer on Windows.
const Device* Member(HDEVINFO set, ULONG_PTR reserved, bool interfaces) {
    auto* devices = LookupAs<DeviceSet>(set, Kind::DeviceSet);
    if (!devices || devices->interfaces != interfaces || reserved == 0 ||
        reserved > devices->devices.size())
        return nullptr;
    return &devices->devices[reserved - 1];
}

// The hexadecimal number after a tag such as "VID_" in the device ID.
USHORT IdAfter(const std::string& deviceId, const char* tag) {
    std::string folded = FoldCase(deviceId);
    size_t at = folded.find(tag);
    if (at == std::string::npos) return 0;
    unsigned value = 0;
    for (size_t i = at + std::strlen(tag); i < folded.size() && i < at + std::strlen(tag) + 4; ++i) {
        int digit = HexDigit(folded[i]);
        if (digit < 0) break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return static_cast<USHORT>(value);
}

}  // namespace

std::vector<Device> PresentDevices(Registry& registry) {
    std::vector<Device> out;
    RegKey* enumKey = registry.FindPath("HKLM\\SYSTEM\\CurrentControlSet\\Enum");
    if (!enumKey) return out;
    for (RegKey* enumerator : enumKey->Subkeys()) {
        for (RegKey* device : enumerator->Subkeys()) {
            for (RegKey* instance : device->Subkeys()) {
                if (!instance->Value("ClassGUID")) continue;
                Device present;
                present.instanceId = enumerator->name() + "\\" + device->name() + "\\" + instance->name();
                if (const RegValue* ids = instance->Value("HardwareID")) {
                    present.hardwareIds = ids->data;
                    present.hardwareIdType = ids->type;
                }
                out.push_back(std::move(present));
            }
        }
    }
    return out;
}

std::string InterfacePath(const std::string& instanceId) {
    std::string path = "\\\\?\\" + instanceId;
    for (size_t i = 4; i < path.size(); ++i) {
        if (path[i] == '\\') path[i] = '#';
    }
    return path + "#" + kHidGuidText;
}

HANDLE OpenDevice(const char* path, DWORD, DWORD, DWORD disposition) {
    if (disposition != OPEN_EXISTING) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    std::optional<std::string> instanceId;
    if (uint32_t error = ReadRegistry(
            [&](Registry& registry) { instanceId = FindInterface(registry, path); }))
        return Fail(error, INVALID_HANDLE_VALUE);
    if (!instanceId) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto handle = std::make_unique<DeviceHandle>();
    handle->path = path;
    handle->instanceId = *instanceId;
    return Register(Kind::Device, std::move(handle));
}

}  // namespace emu

using emu::Device;
using emu::DeviceHandle;
using emu::DeviceSet;
using emu::Fail;
using emu::Kind;

void HidD_GetHidGuid(LPGUID HidGuid) {
    emu::Enter("HidD_GetHidGuid");
    *HidGuid = emu::kHidGuid;
}

BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    auto* device = emu::LookupAs<DeviceHandle>(HidDeviceObject, Kind::Device);
    if (!device) return Fail<BOOLEAN>(ERROR_INVALID_HANDLE, FALSE);
    if (uint32_t error = emu::Enter("HidD_GetAttributes", device->path))
        return Fail<BOOLEAN>(error, FALSE);
    if (!Attributes || Attributes->Size != sizeof(HIDD_ATTRIBUTES))
        return Fail<BOOLEAN>(ERROR_INVALID_PARAMETER, FALSE);
    std::string deviceId = device->instanceId.substr(0, device->instanceId.rfind('\\'));
    Attributes->VendorID = emu::IdAfter(deviceId, "VID_");
    Attributes->ProductID = emu::IdAfter(deviceId, "PID_");
    Attributes->VersionNumber = 0;
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    if (uint32_t error = emu::Enter("SetupDiGetClassDevsA"))
        return Fail(error, INVALID_HANDLE_VALUE);
    bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if (Enumerator || (!ClassGuid && !allClasses))
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::vector<Device> devices;
    if (uint32_t error = emu::ReadDevices(interfaces, devices))
        return Fail(error, INVALID_HANDLE_VALUE);
    auto set = std::make_unique<DeviceSet>();
    set->interfaces = interfaces;
    // Only the HID class is known here: a set of another class is empty.
    if (allClasses || emu::SameGuid(*ClassGuid, emu::kHidGuid)) set->devices = std::move(devices);
    return emu::Register(Kind::DeviceSet, std::move(set));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    uint32_t error = emu::Enter("SetupDiDestroyDeviceInfoList");
    if (!emu::Release(DeviceInfoSet, Kind::DeviceSet)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto* set = emu::LookupAs<DeviceSet>(DeviceInfoSet, Kind::DeviceSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
    bool inRange = set->interfaces && MemberIndex < set->devices.size();
    std::string subject = inRange ? set->devices[MemberIndex].instanceId : std::string();
    if (uint32_t error = emu::Enter("SetupDiEnumDeviceInterfaces", subject))
        return Fail(error, FALSE);
    if (DeviceInfoData || !InterfaceClassGuid || !DeviceInterfaceData)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (!inRange || !emu::SameGuid(*InterfaceClassGuid, emu::kHidGuid))
        return Fail(ERROR_NO_MORE_ITEMS, FALSE);
    DeviceInterfaceData->InterfaceClassGuid = emu::kHidGuid;
    DeviceInterfaceData->Flags = 1;  // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    if (!DeviceInterfaceData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    const Device* device = emu::Member(DeviceInfoSet, DeviceInterfaceData->Reserved, true);
    if (!device) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (uint32_t error = emu::Enter("SetupDiGetDeviceInterfaceDetailA", device->instanceId))
        return Fail(error, FALSE);
    std::string path = emu::InterfacePath(device->instanceId);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                      path.size() + 1);
    if (RequiredSize) *RequiredSize = needed;
    if (!DeviceInterfaceDetailData) {
        return Fail(DeviceInterfaceDetailDataSize ? ERROR_INVALID_PARAMETER
                                                  : ERROR_INSUFFICIENT_BUFFER,
                    FALSE);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (DeviceInterfaceDetailDataSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    if (DeviceInfoData) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
            return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
        DeviceInfoData->Reserved = DeviceInterfaceData->Reserved;
    }
    return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = emu::LookupAs<DeviceSet>(DeviceInfoSet, Kind::DeviceSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
    bool inRange = MemberIndex < set->devices.size();
    std::string subject = inRange ? set->devices[MemberIndex].instanceId : std::string();
    if (uint32_t error = emu::Enter("SetupDiEnumDeviceInfo", subject)) return Fail(error, FALSE);
    if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (!inRange) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
    std::memset(&DeviceInfoData->ClassGuid, 0, sizeof DeviceInfoData->ClassGuid);
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    auto* set = emu::LookupAs<DeviceSet>(DeviceInfoSet, Kind::DeviceSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const Device* device = emu::Member(DeviceInfoSet, DeviceInfoData->Reserved, set->interfaces);
    if (!device) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (uint32_t error = emu::Enter("SetupDiGetDeviceRegistryPropertyA", device->instanceId))
        return Fail(error, FALSE);
    if (Property != SPDRP_HARDWAREID) return Fail(ERROR_INVALID_DATA, FALSE);
    if (!device->hardwareIds) return Fail(ERROR_INVALID_DATA, FALSE);
    // The A call hands out the 8-bit form of what Windows keeps in UTF-16,
    // exactly as stored: a list without its final NULs stays without them.
    std::string ids = emu::Utf16leToUtf8(device->hardwareIds->data(), device->hardwareIds->size());
    DWORD needed = static_cast<DWORD>(ids.size());
    if (RequiredSize) *RequiredSize = needed;
    if (PropertyRegDataType) *PropertyRegDataType = device->hardwareIdType;
    if (!PropertyBuffer || PropertyBufferSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(PropertyBuffer, ids.data(), ids.size());
    return TRUE;
}
