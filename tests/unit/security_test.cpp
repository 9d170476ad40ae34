// The security calls of the emulated machine (platform/emu/security.cpp): the
// SIDs, ACLs and descriptors a program builds, in Windows' binary layouts.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/key_security.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

TEST_F(Security, AdministratorsSidAndItsOneAceAclHaveWindowsLayout) {
    PSID sid = NewAdminsSid();
    ASSERT_EQ(GetLengthSid(sid), 16u);
    EXPECT_EQ(Bytes(sid, 16), kAdminsSid);
    const DWORD aclSize = GetLengthSid(sid) + 16;
    auto* acl = static_cast<PACL>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, aclSize + 4));
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(emu::OutstandingResources(), 2u) << "the SID and the heap block";
    ASSERT_TRUE(InitializeAcl(acl, aclSize, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, sid));
    std::vector<BYTE> expected = {2, 0, 32, 0, 1, 0, 0, 0, 0, 0, 24, 0, 0x3F, 0, 0x0F, 0};
    expected.reserve(36);  // else GCC 12 sees the insert write past the 16 bytes (-Warray-bounds)
    expected.insert(expected.end(), kAdminsSid.begin(), kAdminsSid.end());
    expected.resize(36, 0);  // zeroed by HeapAlloc, untouched past AclSize
    EXPECT_EQ(Bytes(acl, 36), expected);
    EXPECT_EQ(ErrorOf(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, sid)),
              DWORD{ERROR_ALLOTTED_SPACE_EXCEEDED});

    SECURITY_DESCRIPTOR descriptor;
    std::memset(&descriptor, 0xEE, sizeof descriptor);
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, TRUE));
    EXPECT_EQ(descriptor.Revision, 1);
    EXPECT_EQ(descriptor.Control, 0x4 | 0x8);
    EXPECT_EQ(descriptor.Dacl, acl);
    EXPECT_EQ(descriptor.Owner, nullptr);
    EXPECT_EQ(FreeSid(sid), nullptr);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, acl));
    EXPECT_EQ(ErrorOf(HeapFree(GetProcessHeap(), 0, acl)), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(Security, MalformedAclsAndDescriptorsAreRefusedWithWindowsCodes) {
    alignas(8) BYTE acl[64] = {};
    auto* pAcl = reinterpret_cast<PACL>(acl);
    std::vector<BYTE> admins = kAdminsSid, badSid = kAdminsSid;
    badSid[0] = 2;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    SECURITY_DESCRIPTOR relative{};
    relative.Revision = 1;
    relative.Control = 0x8000;
    struct Row {
        const char* name;
        std::function<BOOL()> call;
        DWORD error;
    };
    const Row rows[] = {
        {"ACL shorter than its header", [&] { return InitializeAcl(pAcl, 7, 2); }, 122},
        {"ACL revision 5", [&] { return InitializeAcl(pAcl, 64, 5); }, 87},
        {"ACE into an uninitialised ACL",
         [&] { return AddAccessAllowedAce(pAcl, 2, KEY_READ, admins.data()); }, ERROR_INVALID_ACL},
        {"ACE for a SID of revision 2",
         [&] {
             return InitializeAcl(pAcl, 64, 2) && AddAccessAllowedAce(pAcl, 2, 1, badSid.data());
         },
         ERROR_INVALID_SID},
        {"SID of nine sub-authorities",
         [&] { return AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid); },
         ERROR_INVALID_SID},
        {"DACL into a self-relative descriptor",
         [&] { return SetSecurityDescriptorDacl(&relative, TRUE, pAcl, FALSE); },
         ERROR_INVALID_SECURITY_DESCR},
    };
    for (const Row& row : rows) EXPECT_EQ(ErrorOf(row.call()), row.error) << row.name;
    EXPECT_EQ(sid, nullptr);
}

TEST_F(Security, FaultsFailEachCallAndReleasesStillRelease) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    alignas(8) BYTE acl[64];
    auto* pAcl = reinterpret_cast<PACL>(acl);
    SECURITY_DESCRIPTOR sd;
    PSID sid = nullptr;
    DWORD size = 0;
    std::vector<BYTE> admins = kAdminsSid;
    auto reg = [&](REGSAM access, const std::function<LSTATUS(HKEY)>& call) {
        Key key;
        Open(access, key);
        return static_cast<DWORD>(call(key.handle));
    };
    const std::pair<std::string, std::function<DWORD()>> rows[] = {
        {"AllocateAndInitializeSid",
         [&] { return ErrorOf(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid)); }},
        {"GetLengthSid", [&] { return GetLengthSid(admins.data()) ? 0 : GetLastError(); }},
        {"FreeSid", [&] { return FreeSid(NewAdminsSid()) ? GetLastError() : 0; }},
        {"InitializeAcl", [&] { return ErrorOf(InitializeAcl(pAcl, 64, ACL_REVISION)); }},
        {"AddAccessAllowedAce",
         [&] { return ErrorOf(AddAccessAllowedAce(pAcl, 2, 1, admins.data())); }},
        {"InitializeSecurityDescriptor",
         [&] { return ErrorOf(InitializeSecurityDescriptor(&sd, 1)); }},
        {"SetSecurityDescriptorDacl",
         [&] { return ErrorOf(SetSecurityDescriptorDacl(&sd, TRUE, pAcl, FALSE)); }},
        {"GetProcessHeap", [&] { return GetProcessHeap() ? 0 : GetLastError(); }},
        {"HeapAlloc", [&] { return HeapAlloc(GetProcessHeap(), 0, 8) ? 0 : GetLastError(); }},
        {"HeapFree",
         [&] { return ErrorOf(HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 8))); }},
        {"RegCreateKeyExA HKLM\\SOFTWARE\\T\\Key\\New",
         [&] {
             return reg(KEY_READ, [&](HKEY k) {
                 HKEY made = nullptr;
                 return RegCreateKeyExA(k, "New", 0, 0, 0, 0, 0, &made, 0);
             });
         }},
        {"RegSetValueExA HKLM\\SOFTWARE\\T\\Key",
         [&] {
             return reg(KEY_SET_VALUE,
                        [&](HKEY k) { return RegSetValueExA(k, "v", 0, 3, acl, 1); });
         }},
        {"RegGetKeySecurity HKLM\\SOFTWARE\\T\\Key",
         [&] {
             return reg(READ_CONTROL, [&](HKEY k) { return RegGetKeySecurity(k, 4, 0, &size); });
         }},
        {"RegSetKeySecurity HKLM\\SOFTWARE\\T\\Key",
         [&] { return reg(WRITE_DAC, [&](HKEY k) { return RegSetKeySecurity(k, 4, &sd); }); }},
    };
    InitializeAcl(pAcl, 64, ACL_REVISION);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    for (const auto& [logged, call] : rows) {
        std::string function = logged.substr(0, logged.find(' '));
        std::string subject =
            logged.find(' ') == std::string::npos ? "*" : logged.substr(function.size() + 1);
        WriteFaults(function + " " + subject + " 1234\n");
        emu::ClearCallLog();
        EXPECT_EQ(call(), 1234u) << logged;
        std::vector<std::string> log = emu::CallLog();
        EXPECT_NE(std::find(log.begin(), log.end(), logged), log.end()) << logged;
        EXPECT_EQ(emu::OutstandingResources(), 0u) << logged << "\n" << emu::DescribeOutstanding();
    }
    WriteFaults("");
    EXPECT_EQ(Sddl(), emu::kDefaultKeySddl);
    EXPECT_THROW(emu::ReadKeySddl(root_, "HKLM\\SOFTWARE\\T\\Key\\New"), std::runtime_error);
}

}  // namespace
