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
    std::string instanceId;                     // "USB\VID_2F1D&PID_7C01\5&1a2b&0&1"
    std::optional<std::vector<uint8_t>> hardwareIds;  // as stored: UTF-16LE multi-string
    DWORD hardwareIdType = REG_MULTI_SZ;
};

std::vector<Device> PresentDevices(Registry& registry);

// "\\?\HID#VID_2F1D&PID_7C01#1&2&0#{4d1e55b2-f16f-11cf-88cb-001111000030}"
std::string InterfacePath(const std::string& instanceId);

HANDLE OpenDevice(const char* path, DWORD access, DWORD share, DWORD disposition);

}  // namespace emu

#endif
