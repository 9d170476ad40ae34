#include "sddl.h"

#include "../platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace emu {
namespace {

constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kKeyExecute = 0x20019;

constexpr uint16_t kSeDaclPresent = 0x0004;
constexpr uint16_t kSeDaclAutoInheritReq = 0x0100;
constexpr uint16_t kSeDaclAutoInherited = 0x0400;
constexpr uint16_t kSeDaclProtected = 0x1000;
constexpr uint16_t kSeSelfRelative = 0x8000;
constexpr uint16_t kDaclControlBits =
    kSeDaclAutoInheritReq | kSeDaclAutoInherited | kSeDaclProtected;

constexpr size_t kMaxSubAuthorities = 15;
constexpr size_t kMaxSidBytes = 8 + 4 * kMaxSubAuthorities;
constexpr size_t kMinAceBytes = 8 + 8;
constexpr uint8_t kMinAclRevision = 2, kMaxAclRevision = 4;

struct SidAlias {
    const char* alias;
    uint64_t authority;
    std::vector<uint32_t> subAuthorities;
};

const std::vector<SidAlias>& SidAliases() {
    static const std::vector<SidAlias> aliases = {
        {"BA", 5, {32, 544}}, {"BU", 5, {32, 545}}, {"PU", 5, {32, 547}}, {"SY", 5, {18}},
        {"LS", 5, {19}},      {"NS", 5, {20}},      {"AU", 5, {11}},      {"IU", 5, {4}},
        {"SU", 5, {6}},       {"AN", 5, {7}},       {"WD", 1, {0}},       {"CO", 3, {0}},
        {"CG", 3, {1}},       {"OW", 3, {4}},
    };
    return aliases;
}

struct Code {
    const char* code;
    uint32_t value;
};

// The first exact match is the one printed: KR before KX.
constexpr Code kRights[] = {
    {"KA", KEY_ALL_ACCESS}, {"KR", KEY_READ},     {"KW", KEY_WRITE},     {"KX", kKeyExecute},
    {"GA", kGenericAll},    {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", kGenericExecute},
    {"RC", READ_CONTROL},   {"SD", 0x00010000},   {"WD", WRITE_DAC},     {"WO", 0x00080000},
};

constexpr Code kAceFlags[] = {
    {"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08},
    {"ID", 0x10}, {"SA", 0x40}, {"FA", 0x80},
};
constexpr uint8_t kKnownAceFlags = 0xDF;

// In the order Windows prints them.
constexpr Code kDaclFlags[] = {
    {"P", kSeDaclProtected},
    {"AR", kSeDaclAutoInheritReq},
    {"AI", kSeDaclAutoInherited},
};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Digits only, no sign, within `limit`.
bool ParseNumber(std::string_view text, int base, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : 99;
        if (digit >= base) return false;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit) return false;
    }
    return true;
}

bool StartsWithHex(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

std::optional<Sid> ParseSidNumbers(std::string_view text) {
    if (text.size() < 4 || text.substr(0, 4) != "S-1-") return std::nullopt;
    text.remove_prefix(4);
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        size_t dash = text.find('-', start);
        parts.push_back(text.substr(start, dash == std::string_view::npos ? dash : dash - start));
        if (dash == std::string_view::npos) break;
        start = dash + 1;
    }
    if (parts.size() > kMaxSubAuthorities + 1) return std::nullopt;
    Sid sid;
    bool hex = StartsWithHex(parts[0]);
    if (!ParseNumber(hex ? parts[0].substr(2) : parts[0], hex ? 16 : 10, 0xFFFFFFFFFFFFull,
                     sid.authority))
        return std::nullopt;
    for (size_t i = 1; i < parts.size(); ++i) {
        uint64_t value = 0;
        if (!ParseNumber(parts[i], 10, 0xFFFFFFFFull, value)) return std::nullopt;
        sid.subAuthorities.push_back(static_cast<uint32_t>(value));
    }
    return sid;
}

class SddlParser {
public:
    explicit SddlParser(std::string_view text) : text_(text) {}

    SecurityDescriptor Parse() {
        if (text_.empty()) Fail(0, "it is empty (a descriptor reads like " + Example() + ")");
        SecurityDescriptor out;
        bool seen[3] = {false, false, false};
        size_t pos = 0;
        while (pos < text_.size()) {
            if (pos + 1 >= text_.size() || text_[pos + 1] != ':' ||
                std::string_view("OGDS").find(text_[pos]) == std::string_view::npos)
                Fail(pos, "expected O:, G: or D:");
            char part = text_[pos];
            size_t start = pos + 2, end = PartEnd(start);
            std::string_view value = text_.substr(start, end - start);
            if (part == 'S') Fail(pos, "system ACLs (S:) are not supported");
            int index = part == 'O' ? 0 : part == 'G' ? 1 : 2;
            if (seen[index]) Fail(pos, std::string(1, part) + ": appears twice");
            seen[index] = true;
            if (part == 'D') {
                ParseDacl(start, value, out);
            } else {
                (part == 'O' ? out.owner : out.group) = ParseSidAt(start, value);
            }
            pos = end;
        }
        return out;
    }

private:
    static std::string Example() { return std::string("'") + kDefaultKeySddl + "'"; }

    [[noreturn]] void Fail(size_t pos, const std::string& why) const {
        throw std::invalid_argument("malformed SDDL '" + std::string(text_) + "' at offset " +
                                    std::to_string(pos) + ": " + why);
    }

    // Where the part starting at `start` ends: the next "O:", "G:", "D:" or
    // "S:" outside an ACE, or the end.
    size_t PartEnd(size_t start) const {
        int depth = 0;
        for (size_t i = start; i < text_.size(); ++i) {
            char c = text_[i];
            if (c == '(') ++depth;
            if (c == ')') --depth;
            if (depth == 0 && i + 1 < text_.size() && text_[i + 1] == ':' &&
                std::string_view("OGDS").find(c) != std::string_view::npos)
                return i;
        }
        return text_.size();
    }

    Sid ParseSidAt(size_t pos, std::string_view text) const {
        if (std::optional<Sid> sid = ParseSidString(text)) return *sid;
        std::string aliases;
        for (const SidAlias& alias : SidAliases()) aliases += std::string(alias.alias) + ", ";
        Fail(pos, "unknown SID '" + std::string(text) + "' (use " + aliases + "or S-1-...)");
    }

    void ParseDacl(size_t start, std::string_view value, SecurityDescriptor& out) const {
        out.daclForm = DaclForm::List;
        size_t i = 0;
        while (i < value.size() && value[i] != '(') {
            std::string_view rest = value.substr(i);
            constexpr std::string_view kNull = "NO_ACCESS_CONTROL";
            if (rest.substr(0, kNull.size()) == kNull) {
                out.daclForm = DaclForm::Null;
                i += kNull.size();
                continue;
            }
            const Code* flag =
                std::find_if(std::begin(kDaclFlags), std::end(kDaclFlags),
                             [&](const Code& c) { return rest.rfind(c.code, 0) == 0; });
            if (flag == std::end(kDaclFlags))
                Fail(start + i, "unknown DACL flag (use P, AI, AR or NO_ACCESS_CONTROL)");
            out.daclControl |= static_cast<uint16_t>(flag->value);
            i += std::strlen(flag->code);
        }
        while (i < value.size()) {
            if (out.daclForm == DaclForm::Null) Fail(start + i, "a NULL DACL has no ACEs");
            if (value[i] != '(') Fail(start + i, "expected '(' to start an ACE");
            size_t close = value.find(')', i);
            if (close == std::string_view::npos) Fail(start + i, "ACE without ')'");
            out.dacl.push_back(ParseAce(start + i + 1, value.substr(i + 1, close - i - 1)));
            i = close + 1;
        }
    }

    // type;flags;rights;object;inherited object;SID
    Ace ParseAce(size_t start, std::string_view body) const {
        std::vector<std::string_view> fields;
        std::vector<size_t> offsets;
        for (size_t from = 0;;) {
            size_t semi = body.find(';', from);
            offsets.push_back(start + from);
            fields.push_back(
                body.substr(from, semi == std::string_view::npos ? semi : semi - from));
            if (semi == std::string_view::npos) break;
            from = semi + 1;
        }
        if (fields.size() != 6)
            Fail(start, "an ACE has six fields, as in (A;;KA;;;BA); this one has " +
                            std::to_string(fields.size()));
        Ace ace;
        if (fields[0] == "A") {
            ace.type = kAccessAllowed;
        } else if (fields[0] == "D") {
            ace.type = kAccessDenied;
        } else {
            Fail(offsets[0], "unknown ACE type '" + std::string(fields[0]) + "' (use A or D)");
        }
        for (size_t i = 0; i < fields[1].size(); i += 2) {
            std::string_view code = fields[1].substr(i, 2);
            const Code* flag = std::find_if(std::begin(kAceFlags), std::end(kAceFlags),
                                            [&](const Code& c) { return code == c.code; });
            if (flag == std::end(kAceFlags))
                Fail(offsets[1] + i,
                     "unknown ACE flag '" + std::string(code) + "' (use OI, CI, NP, IO, ID)");
            ace.flags |= static_cast<uint8_t>(flag->value);
        }
        ace.mask = ParseRights(offsets[2], fields[2]);
        if (!fields[3].empty() || !fields[4].empty())
            Fail(offsets[3], "object ACEs (GUIDs) are not supported");
        ace.sid = ParseSidAt(offsets[5], fields[5]);
        return ace;
    }

    uint32_t ParseRights(size_t start, std::string_view text) const {
        const std::string codes = "KA, KR, KW, KX, GA, GR, GW, GX, RC, SD, WD, WO or 0x hex";
        if (text.empty()) Fail(start, "an ACE needs rights (" + codes + ")");
        if (StartsWithHex(text)) {
            uint64_t value = 0;
            if (!ParseNumber(text.substr(2), 16, 0xFFFFFFFFull, value))
                Fail(start, "bad hex rights '" + std::string(text) + "'");
            return static_cast<uint32_t>(value);
        }
        uint32_t mask = 0;
        for (size_t i = 0; i < text.size(); i += 2) {
            std::string_view code = text.substr(i, 2);
            const Code* right = std::find_if(std::begin(kRights), std::end(kRights),
                                             [&](const Code& c) { return code == c.code; });
            if (right == std::end(kRights))
                Fail(start + i, "unknown rights '" + std::string(code) + "' (use " + codes + ")");
            mask |= right->value;
        }
        return mask;
    }

    std::string_view text_;
};

std::string FormatRights(uint32_t mask) {
    for (const Code& right : kRights) {
        if (right.value == mask) return right.code;
    }
    return Hex(mask);
}

std::vector<uint8_t> AclBytes(const std::vector<Ace>& aces) {
    std::vector<uint8_t> out(8, 0);
    out[0] = ACL_REVISION;
    for (const Ace& ace : aces) {
        std::vector<uint8_t> sid = SidBytes(ace.sid);
        size_t at = out.size();
        out.resize(at + 8 + sid.size());
        out[at] = ace.type;
        out[at + 1] = ace.flags;
        Put16(out, at + 2, static_cast<uint16_t>(8 + sid.size()));
        Put32(out, at + 4, ace.mask);
        std::copy(sid.begin(), sid.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 8));
    }
    Put16(out, 2, static_cast<uint16_t>(out.size()));
    Put16(out, 4, static_cast<uint16_t>(aces.size()));
    return out;
}

// Walks an ACL's ACEs; with `aces`, also reads them, refusing what a key's
// DACL cannot hold.
std::optional<size_t> WalkAcl(const uint8_t* acl, std::vector<Ace>* aces) {
    if (!acl || acl[0] < kMinAclRevision || acl[0] > kMaxAclRevision) return std::nullopt;
    size_t size = Get16(acl + 2), count = Get16(acl + 4), pos = 8;
    if (size < 8) return std::nullopt;
    for (size_t n = 0; n < count; ++n) {
        if (pos + 8 > size) return std::nullopt;
        size_t aceSize = Get16(acl + pos + 2);
        if (aceSize < kMinAceBytes || aceSize % 4 != 0 || pos + aceSize > size) return std::nullopt;
        if (aces) {
            Ace ace;
            ace.type = acl[pos];
            ace.flags = acl[pos + 1];
            ace.mask = Get32(acl + pos + 4);
            std::optional<Sid> sid = ReadSid(acl + pos + 8, aceSize - 8);
            if (!sid || (ace.type != kAccessAllowed && ace.type != kAccessDenied) ||
                (ace.flags & ~kKnownAceFlags))
                return std::nullopt;
            ace.sid = *sid;
            aces->push_back(ace);
        }
        pos += aceSize;
    }
    return pos;
}

const Sid& OwnerRightsSid() {
    static const Sid sid{3, {4}};
    return sid;
}

}  // namespace

std::optional<Sid> ParseSidString(std::string_view text) {
    for (const SidAlias& alias : SidAliases()) {
        if (text == alias.alias) return Sid{alias.authority, alias.subAuthorities};
    }
    return ParseSidNumbers(text);
}

std::string FormatSid(const Sid& sid) {
    for (const SidAlias& alias : SidAliases()) {
        if (sid.authority == alias.authority && sid.subAuthorities == alias.subAuthorities)
            return alias.alias;
    }
    std::string out = "S-1-";
    out += sid.authority > 0xFFFFFFFFull ? Hex(sid.authority) : std::to_string(sid.authority);
    for (uint32_t sub : sid.subAuthorities) out += "-" + std::to_string(sub);
    return out;
}

SecurityDescriptor ParseSddl(std::string_view text) { return SddlParser(text).Parse(); }

std::string FormatSddl(const SecurityDescriptor& descriptor) {
    std::string out;
    if (descriptor.owner) out += "O:" + FormatSid(*descriptor.owner);
    if (descriptor.group) out += "G:" + FormatSid(*descriptor.group);
    if (descriptor.daclForm == DaclForm::Absent) return out;
    out += "D:";
    for (const Code& flag : kDaclFlags) {
        if (descriptor.daclControl & flag.value) out += flag.code;
    }
    if (descriptor.daclForm == DaclForm::Null) return out + "NO_ACCESS_CONTROL";
    for (const Ace& ace : descriptor.dacl) {
        out += ace.type == kAccessDenied ? "(D;" : "(A;";
        for (const Code& flag : kAceFlags) {
            if (ace.flags & flag.value) out += flag.code;
        }
        out += ";" + FormatRights(ace.mask) + ";;;" + FormatSid(ace.sid) + ")";
    }
    return out;
}

std::vector<uint8_t> SidBytes(const Sid& sid) {
    std::vector<uint8_t> out(8 + 4 * sid.subAuthorities.size());
    out[0] = 1;
    out[1] = static_cast<uint8_t>(sid.subAuthorities.size());
    for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<uint8_t>(sid.authority >> (8 * (5 - i)));
    for (size_t i = 0; i < sid.subAuthorities.size(); ++i)
        Put32(out, 8 + 4 * i, sid.subAuthorities[i]);
    return out;
}

std::optional<Sid> ReadSid(const uint8_t* bytes, size_t available) {
    if (!bytes || available < 8 || bytes[0] != 1 || bytes[1] > kMaxSubAuthorities)
        return std::nullopt;
    size_t count = bytes[1];
    if (available < 8 + 4 * count) return std::nullopt;
    Sid sid;
    for (int i = 0; i < 6; ++i) sid.authority = sid.authority << 8 | bytes[2 + i];
    for (size_t i = 0; i < count; ++i) sid.subAuthorities.push_back(Get32(bytes + 8 + 4 * i));
    return sid;
}

std::vector<uint8_t> SelfRelativeBytes(const SecurityDescriptor& descriptor, uint32_t information) {
    std::vector<uint8_t> out(20, 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    uint16_t control = kSeSelfRelative;
    auto place = [&out](const std::vector<uint8_t>& part) {
        uint32_t offset = static_cast<uint32_t>(out.size());
        out.insert(out.end(), part.begin(), part.end());
        return offset;
    };
    if ((information & OWNER_SECURITY_INFORMATION) && descriptor.owner)
        Put32(out, 4, place(SidBytes(*descriptor.owner)));
    if ((information & GROUP_SECURITY_INFORMATION) && descriptor.group)
        Put32(out, 8, place(SidBytes(*descriptor.group)));
    if ((information & DACL_SECURITY_INFORMATION) && descriptor.daclForm != DaclForm::Absent) {
        control |= kSeDaclPresent | descriptor.daclControl;
        if (descriptor.daclForm == DaclForm::List) Put32(out, 16, place(AclBytes(descriptor.dacl)));
    }
    Put16(out, 2, control);
    return out;
}

uint32_t ReadDescriptor(const void* descriptor, SecurityDescriptor& out) {
    const auto* bytes = static_cast<const uint8_t*>(descriptor);
    if (!bytes || bytes[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_INVALID_SECURITY_DESCR;
    uint16_t control = Get16(bytes + 2);
    const uint8_t *owner = nullptr, *group = nullptr, *dacl = nullptr;
    if (control & kSeSelfRelative) {
        auto at = [bytes](size_t field) {
            uint32_t offset = Get32(bytes + field);
            return offset ? bytes + offset : nullptr;
        };
        owner = at(4);
        group = at(8);
        dacl = at(16);
    } else {
        SECURITY_DESCRIPTOR absolute;
        std::memcpy(&absolute, bytes, sizeof absolute);
        owner = static_cast<const uint8_t*>(absolute.Owner);
        group = static_cast<const uint8_t*>(absolute.Group);
        dacl = reinterpret_cast<const uint8_t*>(absolute.Dacl);
    }
    SecurityDescriptor read;
    if (owner && !(read.owner = ReadSid(owner, kMaxSidBytes))) return ERROR_INVALID_SECURITY_DESCR;
    if (group && !(read.group = ReadSid(group, kMaxSidBytes))) return ERROR_INVALID_SECURITY_DESCR;
    if (control & kSeDaclPresent) {
        read.daclControl = control & kDaclControlBits;
        read.daclForm = dacl ? DaclForm::List : DaclForm::Null;
        if (dacl && !WalkAcl(dacl, &read.dacl)) return ERROR_INVALID_ACL;
    }
    out = std::move(read);
    return 0;
}

std::optional<size_t> AclUsedBytes(const void* acl) {
    return WalkAcl(static_cast<const uint8_t*>(acl), nullptr);
}

uint32_t MapKeyGenericRights(uint32_t mask) {
    uint32_t out = mask & ~(GENERIC_READ | GENERIC_WRITE | kGenericExecute | kGenericAll);
    if (mask & GENERIC_READ) out |= KEY_READ;
    if (mask & GENERIC_WRITE) out |= KEY_WRITE;
    if (mask & kGenericExecute) out |= kKeyExecute;
    if (mask & kGenericAll) out |= KEY_ALL_ACCESS;
    return out;
}

const std::vector<Sid>& ProcessToken() {
    static const std::vector<Sid> token = {Sid{5, {32, 544}}, Sid{1, {0}}, Sid{5, {11}}};
    return token;
}

uint32_t AccessCheck(const SecurityDescriptor& descriptor, const std::vector<Sid>& token,
                     uint32_t desired, uint32_t& granted) {
    granted = 0;
    bool maximum = desired & kMaximumAllowed;
    desired = MapKeyGenericRights(desired & ~kMaximumAllowed);
    if (descriptor.daclForm != DaclForm::List) {
        granted = desired | (maximum ? KEY_ALL_ACCESS : 0);
        return 0;
    }
    auto holds = [&token](const Sid& sid) {
        return std::find(token.begin(), token.end(), sid) != token.end();
    };
    bool isOwner = descriptor.owner && holds(*descriptor.owner);
    bool ownerRightsAce = false;
    for (const Ace& ace : descriptor.dacl) {
        ownerRightsAce |= !(ace.flags & kInheritOnlyAce) && ace.sid == OwnerRightsSid();
    }
    uint32_t allowed = 0, denied = 0;
    if (isOwner && !ownerRightsAce) allowed |= READ_CONTROL | WRITE_DAC;
    for (const Ace& ace : descriptor.dacl) {
        if (ace.flags & kInheritOnlyAce) continue;
        if (!holds(ace.sid) && !(isOwner && ace.sid == OwnerRightsSid())) continue;
        uint32_t mask = MapKeyGenericRights(ace.mask);
        // A bit is decided by the first ACE that names it.
        if (ace.type == kAccessAllowed) allowed |= mask & ~denied;
        if (ace.type == kAccessDenied) denied |= mask & ~allowed;
    }
    if (desired & ~allowed) return ERROR_ACCESS_DENIED;
    granted = maximum ? (allowed | desired) : desired;
    if (maximum && granted == 0) return ERROR_ACCESS_DENIED;
    return 0;
}

SecurityDescriptor KeyDescriptor(const RegKey& key) {
    return ParseSddl(key.Sddl().empty() ? kDefaultKeySddl : key.Sddl());
}

void SetKeyDescriptor(RegKey& key, const SecurityDescriptor& descriptor) {
    std::string text = FormatSddl(descriptor);
    key.SetSddl(text == kDefaultKeySddl ? "" : text);
}

std::string ReadKeySddl(const std::filesystem::path& root, std::string_view keyPath) {
    RegistryTransaction transaction(root);
    const RegKey* key = transaction.registry().FindPath(keyPath);
    if (!key) throw std::runtime_error("no key " + std::string(keyPath) + " in " + root.string());
    return FormatSddl(KeyDescriptor(*key));
}

void WriteKeySddl(const std::filesystem::path& root, std::string_view keyPath,
                  std::string_view sddl) {
    SecurityDescriptor descriptor = ParseSddl(sddl);
    RegistryTransaction transaction(root);
    RegKey* key = transaction.registry().FindPath(keyPath);
    if (!key) throw std::runtime_error("no key " + std::string(keyPath) + " in " + root.string());
    SetKeyDescriptor(*key, descriptor);
    transaction.Commit();
}

}  // namespace emu
