#include "detect/detect.h"
#include "fixture.h"
#include "main/settings.h"

namespace {

constexpr char kVtn2[] = "USB\\Vid_2f1d&Pid_7c01";
constexpr char kVtn2Alt[] = "USB\\Vid_2f1d&Pid_7c03";
constexpr char kZp[] = "USB\\Vid_2f1d&Pid_7c04";
constexpr char kKestil[] = "PCI\\VEN_1002&DEV_5159&SUBSYS_03D71E6B";

class Scan : public MachineTest {};

struct DecisionRow {
    const char* name;
    std::vector<std::vector<std::string>> devices;  // hardware IDs, one list per device
    int expected;
    std::vector<int> seen;
};

TEST_F(Scan, DecidesOnTheIdsOfEveryPresentDevice) {
    const std::string rev = std::string(kVtn2) + "&Rev_0100";
    const DecisionRow rows[] = {
        {"nothing at all", {}, 0, {0, 0, 0, 0}},
        {"adapter ID with a revision after it", {{rev, kVtn2}}, 1, {1, 0, 0, 0}},
        {"adapter ID in upper case", {{"USB\\VID_2F1D&PID_7C01&REV_0100"}}, 0, {0, 0, 0, 0}},
        {"alternative adapter ID", {{"USB\\Vid_2f1d&Pid_7c03&MI_00"}}, 1, {0, 1, 0, 0}},
        {"sibling listed after the adapter", {{kVtn2}, {kZp}}, 0, {1, 0, 1, 0}},
        {"sibling listed before the adapter", {{kZp}, {kVtn2Alt}}, 0, {0, 1, 1, 0}},
        {"sibling alone", {{kZp}}, 0, {0, 0, 1, 0}},
        {"PCI variant alone", {{kKestil}}, 1, {0, 0, 0, 1}},
        {"PCI variant beside all others", {{kVtn2, kZp}, {kKestil}, {kVtn2Alt}}, 1, {1, 1, 1, 1}},
        {"other devices only", {{"ACPI\\PNP0A03"}, {"USB\\ROOT_HUB30"}}, 0, {0, 0, 0, 0}},
    };
    for (const DecisionRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        int n = 0;
        for (const auto& ids : row.devices) AddDevice("USB\\DEV" + std::to_string(n++) + "\\1", ids);
        EXPECT_EQ(FindExistingDevice(), row.expected);
        EXPECT_EQ(std::vector<int>(fDeviceSeen, fDeviceSeen + 4), row.seen);
    }
}

TEST_F(Scan, DeviceWithoutIdsDoesNotStopTheScan) {
    AddDeviceWithoutIds("ACPI\\A\\1");
    AddDevice("USB\\B\\1", {kVtn2});
    EXPECT_EQ(FindExistingDevice(), 1);
}

TEST_F(Scan, ListStartingWithAnEmptyStringContributesNothing) {
    AddDeviceRaw("USB\\A\\1", std::string("\0", 1) + kVtn2 + std::string("\0\0", 2));
    wDebug = 1;
    std::string out = Capture([] { EXPECT_EQ(FindExistingDevice(), 0); });
    EXPECT_EQ(out, "");
}

TEST_F(Scan, LongerListsRegrowTheBufferAndAreWalkedWhole) {
    AddDevice("USB\\A\\1", {"X"});
    std::vector<std::string> many(40, "USB\\Vid_0000&Pid_0000&Rev_0000&Filler");
    many.push_back(kKestil);
    AddDevice("USB\\B\\1", many);
    EXPECT_EQ(FindExistingDevice(), 1);
    EXPECT_EQ(fDeviceSeen[3], 1);
}

TEST_F(Scan, UnterminatedLastIdIsJudgedAsFarAsItGoes) {
    AddDevice("USB\\A\\1", {std::string(300, 'Z')});  // leaves a larger buffer behind
    AddDeviceRaw("USB\\B\\1", std::string("ACPI\\X") + '\0' + "USB\\Vid_2f1d&Pid_7c0");
    AddDeviceRaw("USB\\C\\1", std::string("ACPI\\Y") + '\0' + kVtn2Alt);
    wDebug = 1;
    std::string out = Capture([] { EXPECT_EQ(FindExistingDevice(), 1); });
    EXPECT_NE(out.find("Device ID USB\\Vid_2f1d&Pid_7c0 was found \n"), std::string::npos);
    EXPECT_EQ(std::vector<int>(fDeviceSeen, fDeviceSeen + 4), (std::vector<int>{0, 1, 0, 0}));
}

TEST_F(Scan, DebugTracesEveryIdAndPausesAtEveryHit) {
    AddDevice("PCI\\A\\1", {kKestil, "PCI\\CC_0300"});
    AddDevice("USB\\B\\1", {std::string(kVtn2) + "&Rev_0001"});
    wDebug = 1;
    std::string out = Capture([] { EXPECT_EQ(FindExistingDevice(), 1); });
    EXPECT_EQ(out,
              "FindExistingDevice - Device ID PCI\\VEN_1002&DEV_5159&SUBSYS_03D71E6B was found \n"
              "FindExistingDevice - Kestil PCI ID found !\n"
              "Press ENTER to continue \n"
              "FindExistingDevice - Device ID PCI\\CC_0300 was found \n"
              "FindExistingDevice - Device ID USB\\Vid_2f1d&Pid_7c01&Rev_0001 was found \n"
              "FindExistingDevice - VTN2 USB ID found !\n"
              "Press ENTER to continue \n");
}

TEST_F(Scan, QuietWithoutDebug) {
    AddDevice("USB\\B\\1", {kVtn2});
    EXPECT_EQ(Capture([] { FindExistingDevice(); }), "");
}

struct FailureRow {
    const char* name;
    const char* faults;
    int expected;
    const char* debugOutput;
};

TEST_F(Scan, FailuresEndTheScanWithZero) {
    const char* unknown =
        "FindExistingDevice - Unknown failure occurred, returning failure\n"
        "Press ENTER to continue \n";
    const char* hit = "FindExistingDevice - VTN2 USB ID found !\nPress ENTER to continue \n";
    const std::string firstDevice =
        std::string("FindExistingDevice - Device ID ") + kVtn2 + " was found \n" + hit;
    const std::string failed = firstDevice + unknown;
    const FailureRow rows[] = {
        {"device set cannot be built", "SetupDiGetClassDevsA * 5\n", 0,
         "FindExistingDevice - SetupDiGetClassDevs failed \nPress ENTER to continue \n"},
        {"read fails with another code after the adapter was seen",
         "SetupDiGetDeviceRegistryPropertyA USB\\B\\* 5\n", 0, failed.c_str()},
        {"no buffer to be had", "LocalAlloc * 8\n", 0, unknown},
        {"device without IDs is skipped", "SetupDiGetDeviceRegistryPropertyA USB\\B\\* 13\n", 1,
         firstDevice.c_str()},
        {"enumeration failing ends the walk, not the scan", "SetupDiEnumDeviceInfo USB\\B\\* 259\n",
         1, firstDevice.c_str()},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        AddDevice("USB\\A\\1", {kVtn2});
        AddDevice("USB\\B\\1", {"USB\\Vid_1234&Pid_0001"});
        WriteFaults(row.faults);
        wDebug = 1;
        std::string out = Capture([&] { EXPECT_EQ(FindExistingDevice(), row.expected); });
        EXPECT_EQ(out, row.debugOutput);
    }
}

TEST_F(Scan, SetThatCannotBeBuiltLeavesNoFlags) {
    AddDevice("USB\\A\\1", {kVtn2});
    WriteFaults("SetupDiGetClassDevsA * 5\n");
    EXPECT_EQ(FindExistingDevice(), 0);
    EXPECT_EQ(std::vector<int>(fDeviceSeen, fDeviceSeen + 4), (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
