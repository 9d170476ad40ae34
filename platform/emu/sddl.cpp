#include "sddl.h"

#include "../platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "hex.h"
#include "security_constants.h"

namespace emu {
namespace {

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
        {"CG", 3, {1}},       {"OW", 3, {4}},       {"AC", 15, {2, 1}},
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

// In the order Windows prints them.
constexpr Code kDaclFlags[] = {
    {"P", kSeDaclProtected},
    {"AR", kSeDaclAutoInheritReq},
    {"AI", kSeDaclAutoInherited},
};

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
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
    if (!ParseDigits(hex ? parts[0].substr(2) : parts[0], hex ? 16 : 10, 0xFFFFFFFFFFFFull,
                     sid.authority))
        return std::nullopt;
    for (size_t i = 1; i < parts.size(); ++i) {
        uint64_t value = 0;
        if (!ParseDigits(parts[i], 10, 0xFFFFFFFFull, value)) return std::nullopt;
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
            if (!ParseDigits(text.substr(2), 16, 0xFFFFFFFFull, value))
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

}  // namespace emu
