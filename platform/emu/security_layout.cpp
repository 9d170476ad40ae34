#include "security_layout.h"

#include "../platform.h"

#include <algorithm>
#include <cstring>

#include "errors.h"
#include "security_constants.h"

namespace emu {
namespace {

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

std::vector<uint8_t> AclBytes(const std::vector<Ace>& aces) {
    std::vector<uint8_t> out(8, 0);
    out[0] = ACL_REVISION;
    for (const Ace& ace : aces) {
        std::vector<uint8_t> bytes = AceBytes(ace);
        out.insert(out.end(), bytes.begin(), bytes.end());
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

}  // namespace

std::vector<uint8_t> AceBytes(const Ace& ace) {
    std::vector<uint8_t> sid = SidBytes(ace.sid);
    std::vector<uint8_t> out(8 + sid.size(), 0);
    out[0] = ace.type;
    out[1] = ace.flags;
    Put16(out, 2, static_cast<uint16_t>(out.size()));
    Put32(out, 4, ace.mask);
    std::copy(sid.begin(), sid.end(), out.begin() + 8);
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
    if (!bytes) return ERROR_INVALID_SECURITY_DESCR;
    if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return kErrorUnknownRevision;
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

}  // namespace emu
