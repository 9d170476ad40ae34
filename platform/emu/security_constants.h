// Windows' security constants that platform.h does not carry, shared by the
// descriptor model, its binary layouts, the access check and the calls.
#ifndef VTN2_EMU_SECURITY_CONSTANTS_H
#define VTN2_EMU_SECURITY_CONSTANTS_H

#include <cstddef>
#include <cstdint>

namespace emu {

// Access rights.
constexpr uint32_t kDelete = 0x00010000;
constexpr uint32_t kWriteOwner = 0x00080000;
constexpr uint32_t kAccessSystemSecurity = 0x01000000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kKeyExecute = 0x20019;

// SECURITY_DESCRIPTOR_CONTROL bits.
constexpr uint16_t kSeDaclPresent = 0x0004;
constexpr uint16_t kSeDaclDefaulted = 0x0008;
constexpr uint16_t kSeDaclAutoInheritReq = 0x0100;
constexpr uint16_t kSeDaclAutoInherited = 0x0400;
constexpr uint16_t kSeDaclProtected = 0x1000;
constexpr uint16_t kSeSelfRelative = 0x8000;
constexpr uint16_t kDaclControlBits =
    kSeDaclAutoInheritReq | kSeDaclAutoInherited | kSeDaclProtected;

// SIDs, ACLs and ACEs.
constexpr size_t kMaxSubAuthorities = 15;
constexpr size_t kMaxSidBytes = 8 + 4 * kMaxSubAuthorities;
constexpr size_t kMinAceBytes = 8 + 8;
constexpr uint8_t kKnownAceFlags = 0xDF;  // OI CI NP IO ID SA FA
constexpr uint8_t kMinAclRevision = 2, kMaxAclRevision = 4;

}  // namespace emu

#endif
