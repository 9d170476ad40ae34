// The security descriptor model of the emulated machine and its SDDL text,
// the form in which the registry keeps a key's descriptor.
#ifndef VTN2_EMU_SDDL_H
#define VTN2_EMU_SDDL_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace emu

#endif
