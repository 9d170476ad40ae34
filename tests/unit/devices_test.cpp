// The device setup and HID calls of the emulated machine (platform/emu/devices.cpp):
// what they list and hand out, and the errors they give, as Windows does.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "detect/detect.h"
#include "fixture.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

constexpr GUID kHidInterface = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0, 0x11, 0x11, 0, 0, 0x30}};
constexpr GUID kHidClass = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
constexpr GUID kUsbClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0, 0}};

constexpr char kHid[] = "HID\\VID_2F1D&PID_7C01\\1&1&0&0000";
constexpr char kUsb[] = "USB\\VID_2F1D&PID_7C01\\5&1A2B&0&1";

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Devices : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        const std::string enumKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
        ImportReg(enumKey + kHid + "]\n\"ClassGUID\"=\"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}\"\n" +
                  "\"FriendlyName\"=\"Management adapter\"\n" + enumKey + kUsb +
                  "]\n\"ClassGUID\"=\"{36fc9e60-c465-11cf-8056-444553540000}\"\n");
    }

    // The instance ID of each member, in order, with the class in its record;
    // or the error that kept the set from being made.
    std::vector<std::string> List(const GUID* guid, const char* enumerator, DWORD flags,
                                  DWORD& error) {
        std::vector<std::string> members;
        error = 0;
        HDEVINFO set = SetupDiGetClassDevsA(guid, enumerator, nullptr, flags);
        if (set == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return members;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            char id[64] = "?";
            // The instance ID is not a property the calls hand out; the class tells them apart.
            if (SameGuid(device.ClassGuid, kHidClass)) std::strcpy(id, kHid);
            if (SameGuid(device.ClassGuid, kUsbClass)) std::strcpy(id, kUsb);
            members.push_back(id);
        }
        SetupDiDestroyDeviceInfoList(set);
        return members;
    }
};

TEST_F(Devices, ListsFilterByClassAndEnumeratorAndRecordsHoldTheClass) {
    using Ids = std::vector<std::string>;
    struct Row {
        const char* name;
        const GUID* guid;
        const char* enumerator;
        DWORD flags;
        Ids members;
        DWORD error;
    };
    const DWORD present = DIGCF_PRESENT, interfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    const Row rows[] = {
        {"all classes", nullptr, nullptr, present | DIGCF_ALLCLASSES, {kHid, kUsb}, 0},
        {"the USB class", &kUsbClass, nullptr, present, {kUsb}, 0},
        {"the HID class", &kHidClass, nullptr, present, {kHid}, 0},
        {"an interface class is no device class", &kHidInterface, nullptr, present, {}, 0},
        {"an enumerator, in any case", nullptr, "usb", present | DIGCF_ALLCLASSES, {kUsb}, 0},
        {"an enumerator and a class", &kUsbClass, "HID", present, {}, 0},
        {"a device list by instance ID", nullptr, kHid, present | DIGCF_ALLCLASSES, {}, 13},
        {"HID interfaces", &kHidInterface, nullptr, interfaces, {kHid}, 0},
        {"the interfaces of one device", &kHidInterface, kHid, interfaces, {kHid}, 0},
        {"of another device", &kHidInterface, kUsb, interfaces, {}, 0},
        {"interfaces by enumerator", &kHidInterface, "HID", interfaces, {}, 13},
        {"neither a class nor all", nullptr, nullptr, present, {}, ERROR_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        DWORD error = 0;
        EXPECT_EQ(List(row.guid, row.enumerator, row.flags, error), row.members) << row.name;
        EXPECT_EQ(error, row.error) << row.name;
    }
}

TEST_F(Devices, PropertiesAndArgumentsAnswerAsOnWindows) {
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA hid{}, unsized{};
    hid.cbSize = sizeof hid;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &hid));
    unsized = hid;
    unsized.cbSize = 0;
    char text[64];
    DWORD type = 0, size = 0;
    auto property = [&](HDEVINFO from, SP_DEVINFO_DATA* record, DWORD which) {
        std::memset(text, '~', sizeof text);
        type = size = 0;
        SetLastError(0);
        BOOL read = SetupDiGetDeviceRegistryPropertyA(
            from, record, which, &type, reinterpret_cast<BYTE*>(text), sizeof text, &size);
        return read ? 0 : GetLastError();
    };
    struct Row {
        const char* name;
        std::function<DWORD()> call;
        DWORD error;
        std::string text;  // what a success hands out
    };
    const Row rows[] = {
        {"no set before no record", [&] { return property(nullptr, nullptr, 99); }, 6, ""},
        {"no record", [&] { return property(set, nullptr, 99); }, 87, ""},
        {"a record of no size", [&] { return property(set, &unsized, SPDRP_HARDWAREID); }, 1784, ""},
        {"property -1", [&] { return property(set, &hid, static_cast<DWORD>(-1)); }, 534, ""},
        {"a property it lacks", [&] { return property(set, &hid, SPDRP_DEVICEDESC); }, 13, ""},
        {"its friendly name", [&] { return property(set, &hid, SPDRP_FRIENDLYNAME); }, 0,
         "Management adapter"},
        {"its class", [&] { return property(set, &hid, SPDRP_CLASSGUID); }, 0,
         "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
        {"no set for an interface's detail",
         [&] {
             return SetupDiGetDeviceInterfaceDetailA(nullptr, nullptr, nullptr, 0, nullptr, nullptr)
                        ? 0
                        : GetLastError();
         },
         ERROR_INVALID_HANDLE, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.call(), row.error) << row.name;
        if (row.error) continue;
        EXPECT_STREQ(text, row.text.c_str()) << row.name;
        EXPECT_EQ(size, row.text.size() + 1) << row.name;
        EXPECT_EQ(type, DWORD{REG_SZ}) << row.name;
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Devices, AnInterfacePathIsInLowerCaseAndItsAttributesSetTheirSize) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, 0, &iface));
    alignas(8) char buffer[256];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof *detail;
    ASSERT_TRUE(
        SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, sizeof buffer, nullptr, nullptr));
    EXPECT_STREQ(detail->DevicePath,
                 "\\\\?\\hid#vid_2f1d&pid_7c01#1&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
    HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    EXPECT_TRUE(HidD_GetAttributes(device, &attributes)) << "Size is the call's to fill";
    EXPECT_EQ(attributes.Size, sizeof attributes);
    EXPECT_EQ(attributes.VendorID, 0x2F1D);
    EXPECT_EQ(attributes.ProductID, 0x7C01);
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Emulation, DeviceWithoutClassGuidIsNotPresent) {
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\A\\1]\n"
        "\"HardwareID\"=hex(7):50,00,43,00,49,00,5c,00,56,00,45,00,4e,00,5f,00,31,00,30,00,30,00,"
        "32,00,26,00,44,00,45,00,56,00,5f,00,35,00,31,00,35,00,39,00,26,00,53,00,55,00,42,00,53,00,"
        "59,00,53,00,5f,00,30,00,33,00,44,00,37,00,31,00,45,00,36,00,42,00,00,00,00,00\n");
    EXPECT_EQ(FindExistingDevice(), 0);
}

}  // namespace
