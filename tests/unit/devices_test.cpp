// The devices of the emulated machine (platform/emu/devices.cpp), as the
// Installer's scan sees them.
#include "detect/detect.h"
#include "fixture.h"

namespace {

TEST_F(Emulation, DeviceWithoutClassGuidIsNotPresent) {
    ImportReg(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\A\\1]\n"
        "\"HardwareID\"=hex(7):50,00,43,00,49,00,5c,00,56,00,45,00,4e,00,5f,00,31,00,30,00,30,00,"
        "32,00,26,00,44,00,45,00,56,00,5f,00,35,00,31,00,35,00,39,00,26,00,53,00,55,00,42,00,53,00,"
        "59,00,53,00,5f,00,30,00,33,00,44,00,37,00,31,00,45,00,36,00,42,00,00,00,00,00\n");
    EXPECT_EQ(FindExistingDevice(), 0);
}

}  // namespace
