#include "access_check.h"

#include "../platform.h"

#include <algorithm>

#include "security_constants.h"

namespace emu {
namespace {

const Sid& OwnerRightsSid() {
    static const Sid sid{3, {4}};
    return sid;
}

}  // namespace

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

}  // namespace emu
