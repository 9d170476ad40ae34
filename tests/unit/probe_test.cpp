#include <algorithm>
#include <cctype>

#include "detect/detect.h"
#include "fixture.h"
#include "main/settings.h"
#include "platform/emulation.h"

namespace {

constexpr char kAdapter[] = "HID\\VID_2F1D&PID_7C01\\1&1&0&0000";
constexpr char kAdapterAlt[] = "HID\\VID_2F1D&PID_7C03\\1&2&0&0000";
constexpr char kSibling[] = "HID\\VID_2F1D&PID_7C04\\1&3&0&0000";
constexpr char kMouse[] = "HID\\VID_046D&PID_C077\\1&4&0&0000";

// As Windows hands it out: in lower case.
std::string PathOf(const std::string& instanceId) {
    std::string path = "\\\\?\\" + instanceId;
    std::replace(path.begin() + 4, path.end(), '\\', '#');
    std::transform(path.begin(), path.end(), path.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return path + "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

// The calls of one function, in order, from the emulation's log.
std::vector<std::string> CallsOf(const std::string& function) {
    std::vector<std::string> out;
    for (const std::string& call : emu::CallLog()) {
        if (call.rfind(function, 0) == 0) out.push_back(call);
    }
    return out;
}

class Probe : public MachineTest {};

struct IdentityRow {
    const char* name;
    const char* instanceId;
    int expected;
};

TEST_F(Probe, AcceptsOnlyTheAdaptersVendorAndProductIds) {
    const IdentityRow rows[] = {
        {"primary product ID", kAdapter, 1},
        {"alternative product ID", kAdapterAlt, 1},
        {"lower-case IDs in the device ID", "HID\\vid_2f1d&pid_7c01&mi_00\\7&1&0&0000", 1},
        {"sibling product", kSibling, 0},
        {"other product of the vendor", "HID\\VID_2F1D&PID_7C02\\1&5&0&0000", 0},
        {"adapter product under another vendor", "HID\\VID_2F1E&PID_7C01\\1&6&0&0000", 0},
        {"adapter IDs on a USB device, no HID interface", "USB\\VID_2F1D&PID_7C01\\5&1&0&1", 0},
    };
    for (const IdentityRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        AddDevice(row.instanceId, {"x"});
        EXPECT_EQ(ProbeAdapterInterface(), row.expected);
    }
}

TEST_F(Probe, NoHidInterfaceGivesZero) { EXPECT_EQ(ProbeAdapterInterface(), 0); }

TEST_F(Probe, ForceCodeAnswersWithoutTouchingDevices) {
    AddDevice(kMouse, {"x"});
    chForceCode = 'U';
    EXPECT_EQ(ProbeAdapterInterface(), 1);
    EXPECT_TRUE(emu::CallLog().empty());
}

TEST_F(Probe, StopsAtTheFirstMatchThatOpens) {
    AddDevice(kAdapter, {"x"});
    AddDevice(kAdapterAlt, {"y"});
    EXPECT_EQ(ProbeAdapterInterface(), 1);
    EXPECT_EQ(CallsOf("CreateFileA"), std::vector<std::string>{"CreateFileA " + PathOf(kAdapter)});
}

TEST_F(Probe, ReadsAndClosesEachEarlierInterfaceInOrder) {
    const char* other = "HID\\VID_2F1D&PID_7C02\\1&5&0&0000";
    // Listed by name: 046D, then 2F1D&PID_7C02, then the adapter's 2F1D&PID_7C03.
    AddDevice(kAdapterAlt, {"z"});
    AddDevice(kMouse, {"x"});
    AddDevice(other, {"y"});
    EXPECT_EQ(ProbeAdapterInterface(), 1);
    std::vector<std::string> expected;
    for (const std::string& id : {std::string(kMouse), std::string(other), std::string(kAdapterAlt)}) {
        expected.push_back("CreateFileA " + PathOf(id));
        expected.push_back("HidD_GetAttributes " + PathOf(id));
        expected.push_back("CloseHandle");
    }
    std::vector<std::string> deviceCalls;
    for (const std::string& call : emu::CallLog()) {
        if (call.rfind("CreateFileA", 0) == 0 || call.rfind("HidD_GetAttributes", 0) == 0 ||
            call == "CloseHandle")
            deviceCalls.push_back(call);
    }
    EXPECT_EQ(deviceCalls, expected);
}

TEST_F(Probe, SkipsAnAdapterThatCannotBeOpenedForAnotherThatCan) {
    AddDevice(kAdapter, {"x"});
    AddDevice(kAdapterAlt, {"y"});
    WriteFaults("CreateFileA *PID_7C01* 32\n");
    EXPECT_EQ(ProbeAdapterInterface(), 1);
    EXPECT_EQ(CallsOf("HidD_GetAttributes").size(), 1u);
}

TEST_F(Probe, AnAdapterWhoseAttributesCannotBeReadDoesNotCount) {
    AddDevice(kAdapter, {"x"});
    WriteFaults("HidD_GetAttributes *PID_7C01* 31\n");
    EXPECT_EQ(ProbeAdapterInterface(), 0);

    AddDevice(kAdapterAlt, {"y"});
    EXPECT_EQ(ProbeAdapterInterface(), 1);
}

struct FailureRow {
    const char* name;
    const char* faults;
    int expected;
};

TEST_F(Probe, FailuresSkipTheInterfaceOrEndTheWalkSilently) {
    const FailureRow rows[] = {
        {"device set cannot be built", "SetupDiGetClassDevsA * 8\n", 0},
        {"enumeration fails at the adapter", "SetupDiEnumDeviceInterfaces *PID_7C01* 1784\n", 0},
        {"enumeration fails after the adapter", "SetupDiEnumDeviceInterfaces *PID_7C03* 1784\n", 1},
        {"detail cannot be read", "SetupDiGetDeviceInterfaceDetailA *PID_7C01* 13\n", 0},
        {"no detail buffer to be had", "malloc * 8\n", 0},
        {"device held without sharing", "CreateFileA * 32\n", 0},
        {"a failing close still releases", "CloseHandle * 6\n", 1},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        AddDevice(kAdapter, {"x"});
        WriteFaults(row.faults);
        wDebug = 1;
        std::string out = Capture([&] { EXPECT_EQ(ProbeAdapterInterface(), row.expected); });
        EXPECT_EQ(out, "");
    }
}

TEST_F(Probe, InterfaceAfterAFailedDetailIsStillExamined) {
    AddDevice(kAdapter, {"x"});
    AddDevice(kAdapterAlt, {"y"});
    WriteFaults("SetupDiGetDeviceInterfaceDetailA *PID_7C01* 13\n");
    EXPECT_EQ(ProbeAdapterInterface(), 1);
}

}  // namespace
