// Heap and security calls of the emulated machine, with Windows' binary
// layouts for SIDs, ACLs and absolute security descriptors.
#include "../platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "machine.h"
#include "security_constants.h"
#include "security_layout.h"

namespace {

constexpr BYTE kMaxSidArguments = 8;  // the sub-authorities AllocateAndInitializeSid takes

// GetProcessHeap's handle: an address that is no block of ours.
char processHeap;

ACL ReadAclHeader(const void* acl) {
    ACL header;
    std::memcpy(&header, acl, sizeof header);
    return header;
}

}  // namespace

using emu::Fail;

HANDLE GetProcessHeap(void) {
    if (uint32_t error = emu::Enter("GetProcessHeap")) return Fail<HANDLE>(error, nullptr);
    return &processHeap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (uint32_t error = emu::Enter("HeapAlloc")) return Fail<LPVOID>(error, nullptr);
    if (hHeap != &processHeap) return Fail<LPVOID>(ERROR_INVALID_HANDLE, nullptr);
    size_t size = dwBytes ? dwBytes : 1;
    void* block = std::malloc(size);
    if (!block) return Fail<LPVOID>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    // Windows promises nothing about a block's contents without
    // HEAP_ZERO_MEMORY; a fixed non-zero filling makes reliance on zeros show.
    std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : 0xBA, size);
    emu::RegisterBlock(emu::Kind::HeapBlock, block);
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    uint32_t error = emu::Enter("HeapFree");
    if (lpMem && (hHeap != &processHeap || !emu::ReleaseBlock(lpMem, emu::Kind::HeapBlock)))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    // A release that a fault fails still releases.
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                              BYTE nSubAuthorityCount, DWORD nSubAuthority0, DWORD nSubAuthority1,
                              DWORD nSubAuthority2, DWORD nSubAuthority3, DWORD nSubAuthority4,
                              DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID* pSid) {
    if (uint32_t error = emu::Enter("AllocateAndInitializeSid")) return Fail(error, FALSE);
    if (!pIdentifierAuthority || !pSid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (nSubAuthorityCount > kMaxSidArguments) return Fail(ERROR_INVALID_SID, FALSE);
    const DWORD given[kMaxSidArguments] = {nSubAuthority0, nSubAuthority1, nSubAuthority2,
                                           nSubAuthority3, nSubAuthority4, nSubAuthority5,
                                           nSubAuthority6, nSubAuthority7};
    emu::Sid sid;
    for (BYTE i = 0; i < 6; ++i)
        sid.authority = sid.authority << 8 | pIdentifierAuthority->Value[i];
    sid.subAuthorities.assign(given, given + nSubAuthorityCount);
    std::vector<uint8_t> bytes = emu::SidBytes(sid);
    void* block = std::malloc(bytes.size());
    if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    std::memcpy(block, bytes.data(), bytes.size());
    emu::RegisterBlock(emu::Kind::Sid, block);
    *pSid = block;
    return TRUE;
}

DWORD GetLengthSid(PSID pSid) {
    if (uint32_t error = emu::Enter("GetLengthSid")) return Fail<DWORD>(error, 0);
    if (!pSid) return Fail<DWORD>(ERROR_INVALID_SID, 0);
    return 8 + 4 * static_cast<DWORD>(static_cast<const BYTE*>(pSid)[1]);
}

PVOID FreeSid(PSID pSid) {
    uint32_t error = emu::Enter("FreeSid");
    if (!pSid) return nullptr;
    const uintptr_t address = reinterpret_cast<uintptr_t>(pSid);
    if (!emu::ReleaseBlock(pSid, emu::Kind::Sid)) return Fail<PVOID>(ERROR_INVALID_HANDLE, pSid);
    // A release that a fault fails still releases: the SID is gone either way.
    return error ? Fail(error, reinterpret_cast<PVOID>(address)) : nullptr;
}

BOOL InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (uint32_t error = emu::Enter("InitializeAcl")) return Fail(error, FALSE);
    if (!pAcl || dwAclRevision < emu::kMinAclRevision || dwAclRevision > emu::kMaxAclRevision ||
        nAclLength > 0xFFFF)
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (nAclLength < sizeof(ACL)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    ACL header{};
    header.AclRevision = static_cast<BYTE>(dwAclRevision);
    header.AclSize = static_cast<WORD>(nAclLength);
    std::memcpy(pAcl, &header, sizeof header);
    return TRUE;
}

BOOL AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    if (uint32_t error = emu::Enter("AddAccessAllowedAce")) return Fail(error, FALSE);
    std::optional<emu::Sid> sid = emu::ReadSid(static_cast<const uint8_t*>(pSid), emu::kMaxSidBytes);
    if (!sid) return Fail(ERROR_INVALID_SID, FALSE);
    if (dwAceRevision < emu::kMinAclRevision || dwAceRevision > emu::kMaxAclRevision)
        return Fail(emu::kErrorUnknownRevision, FALSE);
    std::optional<size_t> used = emu::AclUsedBytes(pAcl);
    if (!used) return Fail(ERROR_INVALID_ACL, FALSE);
    ACL header = ReadAclHeader(pAcl);
    std::vector<uint8_t> ace = emu::AceBytes(emu::Ace{emu::kAccessAllowed, 0, AccessMask, *sid});
    if (*used + ace.size() > header.AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED, FALSE);
    std::memcpy(reinterpret_cast<BYTE*>(pAcl) + *used, ace.data(), ace.size());
    header.AceCount++;
    header.AclRevision = std::max<BYTE>(header.AclRevision, static_cast<BYTE>(dwAceRevision));
    std::memcpy(pAcl, &header, sizeof header);
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (uint32_t error = emu::Enter("InitializeSecurityDescriptor")) return Fail(error, FALSE);
    if (!pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(emu::kErrorUnknownRevision, FALSE);
    SECURITY_DESCRIPTOR descriptor{};
    descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
    std::memcpy(pSecurityDescriptor, &descriptor, sizeof descriptor);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                               PACL pDacl, BOOL bDaclDefaulted) {
    if (uint32_t error = emu::Enter("SetSecurityDescriptorDacl")) return Fail(error, FALSE);
    if (!pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    SECURITY_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, pSecurityDescriptor, sizeof descriptor);
    if (descriptor.Revision != SECURITY_DESCRIPTOR_REVISION)
        return Fail(emu::kErrorUnknownRevision, FALSE);
    if (descriptor.Control & emu::kSeSelfRelative) return Fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
    if (!bDaclPresent) {
        descriptor.Control &= static_cast<WORD>(~emu::kSeDaclPresent);
    } else {
        descriptor.Control |= emu::kSeDaclPresent;
        descriptor.Dacl = pDacl;
        if (bDaclDefaulted) {
            descriptor.Control |= emu::kSeDaclDefaulted;
        } else {
            descriptor.Control &= static_cast<WORD>(~emu::kSeDaclDefaulted);
        }
    }
    std::memcpy(pSecurityDescriptor, &descriptor, sizeof descriptor);
    return TRUE;
}
