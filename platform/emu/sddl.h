// Security descriptors of the emulated machine's registry keys: kept as SDDL
// text in RegKey::Sddl(), handed to programs in Windows' binary layouts, and
// checked against the running process's token as Windows checks them.
#ifndef VTN2_EMU_SDDL_H
#define VTN2_EMU_SDDL_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry_store.h"

namespace emu {

// What a key without a descriptor of its own has.
constexpr char kDefaultKeySddl[] = "O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)";

struct Sid {
    uint64_t authority = 0;  // 48 bits
    std::vector<uint32_t> subAuthorities;

    bool operator==(const Sid& other) const {
        return authority == other.authority && subAuthorities == other.subAuthorities;
    }
    bool operator!=(const Sid& other) const { return !(*this == other); }
};

enum AceType : uint8_t { kAccessAllowed = 0, kAccessDenied = 1 };
constexpr uint8_t kInheritOnlyAce = 0x08;

struct Ace {
    uint8_t type = kAccessAllowed;
    uint8_t flags = 0;  // OI 0x1, CI 0x2, NP 0x4, IO 0x8, ID 0x10
    uint32_t mask = 0;
    Sid sid;
};

// A DACL may be missing or NULL (both grant everything) or a list of ACEs.
enum class DaclForm { Absent, Null, List };

struct SecurityDescriptor {
    std::optional<Sid> owner;
    std::optional<Sid> group;
    DaclForm daclForm = DaclForm::Absent;
    uint16_t daclControl = 0;  // SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED, ...
    std::vector<Ace> dacl;
};

// "BA", "SY", ... or "S-1-5-32-544"; none when neither.
std::optional<Sid> ParseSidString(std::string_view text);
// The alias when there is one, "S-1-..." otherwise.
std::string FormatSid(const Sid& sid);

// Throws std::invalid_argument saying what is wrong and where.
SecurityDescriptor ParseSddl(std::string_view text);
// Canonical text: O:, G:, D: in that order, aliases and rights codes where
// one fits exactly, hex rights otherwise.
std::string FormatSddl(const SecurityDescriptor& descriptor);

// Binary SIDs: revision 1, count, 6-byte big-endian authority, DWORDs.
std::vector<uint8_t> SidBytes(const Sid& sid);
// A SID of at most `available` bytes; none when it is not a valid one.
std::optional<Sid> ReadSid(const uint8_t* bytes, size_t available);

// SECURITY_DESCRIPTOR_RELATIVE holding only the parts `information` names
// (OWNER_/GROUP_/DACL_SECURITY_INFORMATION).
std::vector<uint8_t> SelfRelativeBytes(const SecurityDescriptor& descriptor, uint32_t information);
// Reads an absolute (pointers) or self-relative (offsets) descriptor. Returns
// 0, ERROR_INVALID_SECURITY_DESCR or ERROR_INVALID_ACL.
uint32_t ReadDescriptor(const void* descriptor, SecurityDescriptor& out);
// The byte length an ACL's ACEs take (header included); none when the ACL's
// header or one of its ACEs is malformed.
std::optional<size_t> AclUsedBytes(const void* acl);

// GENERIC_* bits replaced by the KEY_* rights they stand for.
uint32_t MapKeyGenericRights(uint32_t mask);

// The running process: an elevated administrator (BA, WD, AU).
const std::vector<Sid>& ProcessToken();

// Windows' check of `desired` (generic rights allowed, MAXIMUM_ALLOWED too)
// against the descriptor for a token. Returns 0 with the rights granted, or
// ERROR_ACCESS_DENIED.
uint32_t AccessCheck(const SecurityDescriptor& descriptor, const std::vector<Sid>& token,
                     uint32_t desired, uint32_t& granted);

// A key's descriptor, the default one when it has none of its own. Throws
// std::invalid_argument when the stored text is malformed.
SecurityDescriptor KeyDescriptor(const RegKey& key);
void SetKeyDescriptor(RegKey& key, const SecurityDescriptor& descriptor);

// `vtn2-machine reg sddl`: a key of ROOT's registry ("HKLM\..." or
// "HKEY_LOCAL_MACHINE\...") read or given a descriptor. Throw
// std::runtime_error for a missing key, std::invalid_argument for bad SDDL.
std::string ReadKeySddl(const std::filesystem::path& root, std::string_view keyPath);
void WriteKeySddl(const std::filesystem::path& root, std::string_view keyPath,
                  std::string_view sddl);

}  // namespace emu

#endif
