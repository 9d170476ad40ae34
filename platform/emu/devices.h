#ifndef VTN2_EMU_DEVICES_H
#define VTN2_EMU_DEVICES_H

#include "../platform.h"

#include <optional>
#include <string>
#include <vector>

#include "registry_tree.h"

namespace emu {

// A present device: a key Enum\ENUMERATOR\DEVICE\INSTANCE with a ClassGUID.
struct Device {
    std::string instanceId;  // "USB\VID_2F1D&PID_7C01\5&1a2b&0&1"
    GUID classGuid{};        // its ClassGUID read as a GUID; zero when it is not one
    std::vector<RegValue> values;  // the instance key's values, behind its registry properties
};

std::vector<Device> PresentDevices(Registry& registry);

// "\\?\hid#vid_2f1d&pid_7c01#1&2&0#{4d1e55b2-f16f-11cf-88cb-001111000030}":
// Windows hands interface paths out in lower case.
std::string InterfacePath(const std::string& instanceId);

HANDLE OpenDevice(const char* path, DWORD access, DWORD share, DWORD disposition);

}  // namespace emu

#endif
