// Windows' binary layouts of SIDs, ACLs and security descriptors, to and
// from the descriptor model.
#ifndef VTN2_EMU_SECURITY_LAYOUT_H
#define VTN2_EMU_SECURITY_LAYOUT_H

#include <cstdint>
#include <optional>
#include <vector>

#include "sddl.h"

namespace emu {

// Binary SIDs: revision 1, count, 6-byte big-endian authority, DWORDs.
std::vector<uint8_t> SidBytes(const Sid& sid);
// A SID of at most `available` bytes; none when it is not a valid one.
std::optional<Sid> ReadSid(const uint8_t* bytes, size_t available);

// SECURITY_DESCRIPTOR_RELATIVE holding only the parts `information` names
// (OWNER_/GROUP_/DACL_SECURITY_INFORMATION).
std::vector<uint8_t> SelfRelativeBytes(const SecurityDescriptor& descriptor, uint32_t information);
// Reads an absolute (pointers) or self-relative (offsets) descriptor. Returns
// 0, ERROR_UNKNOWN_REVISION (a revision other than 1),
// ERROR_INVALID_SECURITY_DESCR or ERROR_INVALID_ACL.
uint32_t ReadDescriptor(const void* descriptor, SecurityDescriptor& out);
// The byte length an ACL's ACEs take (header included); none when the ACL's
// header or one of its ACEs is malformed.
std::optional<size_t> AclUsedBytes(const void* acl);

// An ACE as it stands in an ACL: header, mask, SID.
std::vector<uint8_t> AceBytes(const Ace& ace);

}  // namespace emu

#endif
