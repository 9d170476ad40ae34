// Device setup and HID services of the emulated machine. Devices live where
// Windows keeps them, under HKLM\SYSTEM\CurrentControlSet\Enum.
#include "devices.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <stdexcept>

#include "ascii.h"
#include "errors.h"
#include "hex.h"
#include "machine.h"
#include "registry_store.h"

namespace emu {

namespace {

constexpr GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr char kHidGuidText[] = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

constexpr DWORD kMaximumProperty = 0x25;  // SPDRP_MAXIMUM_PROPERTY

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// "{4d1e55b2-f16f-11cf-88cb-001111000030}", either case; none when it is not one.
std::optional<GUID> ParseGuid(std::string_view text) {
    constexpr std::string_view kShape = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != kShape.size()) return std::nullopt;
    uint8_t bytes[16];
    size_t count = 0;
    for (size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != 'x') {
            if (text[i] != kShape[i]) return std::nullopt;
            continue;
        }
        int digit = HexDigit(text[i]);
        if (digit < 0) return std::nullopt;
        if (count % 2 == 0) bytes[count / 2] = 0;
        bytes[count / 2] = static_cast<uint8_t>(bytes[count / 2] << 4 | digit);
        ++count;
    }
    GUID guid;
    guid.Data1 = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
                 bytes[3];
    guid.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return guid;
}

// The value of the instance key behind a registry property, by SPDRP_ code;
// null for the properties Windows keeps elsewhere.
const char* PropertyValueName(DWORD property) {
    static const char* const kNames[] = {
        "DeviceDesc", "HardwareID", "CompatibleIDs", nullptr,     "Service",
        nullptr,      nullptr,      "Class",         "ClassGUID", "Driver",
        "ConfigFlags", "Mfg",       "FriendlyName",  "LocationInformation"};
    return property < sizeof kNames / sizeof kNames[0] ? kNames[property] : nullptr;
}

const RegValue* FindValue(const std::vector<RegValue>& values, std::string_view name) {
    for (const RegValue& value : values) {
        if (NamesEqual(value.name, name)) return &value;
    }
    return nullptr;
}

// Whether a device instance ID names the device: ENUMERATOR\DEVICE\INSTANCE.
bool IsInstanceId(std::string_view id) {
    size_t first = id.find('\\');
    if (first == 0 || first == std::string_view::npos) return false;
    size_t second = id.find('\\', first + 1);
    return second != std::string_view::npos && second > first + 1 && second + 1 < id.size() &&
           id.find('\\', second + 1) == std::string_view::npos;
}

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
                present.values = instance->Values();
                const RegValue* guid = FindValue(present.values, "ClassGUID");
                if (guid->type == REG_SZ) {
                    std::string text = AnsiData(*guid);
                    if (!text.empty() && text.back() == '\0') text.pop_back();
                    present.classGuid = ParseGuid(text).value_or(GUID{});
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
        path[i] = AsciiLower(path[i]);
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
    if (!Attributes) return Fail<BOOLEAN>(ERROR_INVALID_PARAMETER, FALSE);
    std::string deviceId = device->instanceId.substr(0, device->instanceId.rfind('\\'));
    Attributes->Size = sizeof(HIDD_ATTRIBUTES);  // the call's to set, not the caller's
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
    if (!ClassGuid && !allClasses) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    // Documented: a device list takes an enumerator's name, an interface list
    // the instance ID of the one device whose interfaces it lists.
    std::string_view enumerator = Enumerator ? Enumerator : "";
    if (!enumerator.empty() &&
        (interfaces ? !emu::IsInstanceId(enumerator)
                    : enumerator.find('\\') != std::string_view::npos))
        return Fail(ERROR_INVALID_DATA, INVALID_HANDLE_VALUE);
    std::vector<Device> devices;
    if (uint32_t error = emu::ReadDevices(interfaces, devices))
        return Fail(error, INVALID_HANDLE_VALUE);
    auto set = std::make_unique<DeviceSet>();
    set->interfaces = interfaces;
    for (Device& device : devices) {
        std::string_view id = device.instanceId;
        if (!enumerator.empty() &&
            !emu::NamesEqual(interfaces ? id : id.substr(0, id.find('\\')), enumerator))
            continue;
        // The HID interface is the only interface class the machine has.
        const GUID& itsClass = interfaces ? emu::kHidGuid : device.classGuid;
        if (!allClasses && !emu::SameGuid(*ClassGuid, itsClass)) continue;
        set->devices.push_back(std::move(device));
    }
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
    if (!emu::LookupAs<DeviceSet>(DeviceInfoSet, Kind::DeviceSet))
        return Fail(ERROR_INVALID_HANDLE, FALSE);
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
    DeviceInfoData->ClassGuid = set->devices[MemberIndex].classGuid;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    auto* set = emu::LookupAs<DeviceSet>(DeviceInfoSet, Kind::DeviceSet);
    if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    const Device* device = emu::Member(DeviceInfoSet, DeviceInfoData->Reserved, set->interfaces);
    if (!device) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (uint32_t error = emu::Enter("SetupDiGetDeviceRegistryPropertyA", device->instanceId))
        return Fail(error, FALSE);
    if (Property >= emu::kMaximumProperty) return Fail(emu::kErrorInvalidRegProperty, FALSE);
    const char* name = emu::PropertyValueName(Property);
    const emu::RegValue* value = name ? emu::FindValue(device->values, name) : nullptr;
    if (!value) return Fail(ERROR_INVALID_DATA, FALSE);
    // A list without its final NULs stays without them.
    std::string data = emu::AnsiData(*value);
    DWORD needed = static_cast<DWORD>(data.size());
    if (RequiredSize) *RequiredSize = needed;
    if (PropertyRegDataType) *PropertyRegDataType = value->type;
    if (!PropertyBuffer || PropertyBufferSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    std::memcpy(PropertyBuffer, data.data(), data.size());
    return TRUE;
}
