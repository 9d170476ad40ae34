// Key security on the emulated machine: the binary layouts a program builds
// and reads, the access check behind every key handle, and the descriptors
// vtn2-machine reads and sets.
#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture.h"
#include "platform/emu/registry_store.h"
#include "platform/emu/key_security.h"
#include "platform/emu/security_layout.h"
#include "platform/emulation.h"
#include "platform/platform.h"

namespace {

constexpr char kKeyPath[] = "HKLM\\SOFTWARE\\T\\Key";
constexpr char kSubkey[] = "SOFTWARE\\T\\Key";

const std::vector<BYTE> kAdminsSid = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
const std::vector<BYTE> kSystemSid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const std::vector<BYTE> kEveryoneSid = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

struct Key {
    HKEY handle = nullptr;
    ~Key() {
        if (handle) RegCloseKey(handle);
    }
};

std::vector<BYTE> Bytes(const void* from, size_t size) {
    const auto* bytes = static_cast<const BYTE*>(from);
    return std::vector<BYTE>(bytes, bytes + size);
}

DWORD Dword(const std::vector<BYTE>& bytes, size_t at) {
    DWORD value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

size_t Word(const std::vector<BYTE>& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }

DWORD ErrorOf(BOOL succeeded) { return succeeded ? 0 : GetLastError(); }

PSID NewAdminsSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                             0, 0, 0, &sid);
    return sid;
}

class Security : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ImportReg(
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Key]\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Other]\n");
    }
    void SetSddl(const std::string& sddl) { emu::WriteKeySddl(root_, kKeyPath, sddl); }
    std::string Sddl() { return emu::ReadKeySddl(root_, kKeyPath); }
    LSTATUS Open(REGSAM access, Key& key, const char* subkey = kSubkey) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, access, &key.handle);
    }
    std::vector<BYTE> KeySecurity(HKEY key, SECURITY_INFORMATION information) {
        DWORD size = 0;
        EXPECT_EQ(RegGetKeySecurity(key, information, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
        std::vector<BYTE> buffer(size);
        EXPECT_EQ(RegGetKeySecurity(key, information, buffer.data(), &size), ERROR_SUCCESS);
        return buffer;
    }
};

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

TEST_F(Security, OpeningAKeyChecksItsDaclForAnElevatedAdministrator) {
    struct Row {
        const char* name;
        const char* sddl;
        DWORD access;
        LSTATUS status;
    };
    const char* const kOnlyQuery = "O:BAD:(A;;0x1;;;BA)";
    const Row rows[] = {
        {"default: all for BA", emu::kDefaultKeySddl, KEY_ALL_ACCESS, 0},
        {"default: generic read", emu::kDefaultKeySddl, GENERIC_READ, 0},
        {"WOW64 view flags ask for no rights", emu::kDefaultKeySddl, KEY_READ | 0x100, 0},
        {"ACE for a group not in the token", "O:SYD:(A;;KA;;;BU)", KEY_QUERY_VALUE, 5},
        {"generic all in an ACE", "O:SYD:(A;;GA;;;AU)", KEY_ALL_ACCESS, 0},
        {"inherit-only ACE is skipped", "O:SYD:(A;IO;KA;;;BA)", KEY_QUERY_VALUE, 5},
        {"deny read control: KEY_READ", "O:SYD:(D;;RC;;;WD)(A;;KA;;;BA)", KEY_READ, 5},
        {"deny read control: query value", "O:SYD:(D;;RC;;;WD)(A;;KA;;;BA)", KEY_QUERY_VALUE, 0},
        {"deny read control: not the owner's", "O:BAD:(D;;RC;;;WD)(A;;KA;;;BA)", READ_CONTROL, 0},
        {"only 0x1: all access", kOnlyQuery, KEY_ALL_ACCESS, 5},
        {"only 0x1: query value", kOnlyQuery, KEY_QUERY_VALUE, 0},
        {"only 0x1: owner reads the DACL", kOnlyQuery, READ_CONTROL, 0},
        {"only 0x1: owner writes the DACL", kOnlyQuery, WRITE_DAC, 0},
        {"only 0x1: owner may not delete", kOnlyQuery, 0x10000, 5},
        {"owner rights ACE replaces the implicit", "O:BAD:(A;;0x1;;;OW)", READ_CONTROL, 5},
        {"empty DACL: nothing", "O:BAD:", KEY_QUERY_VALUE, 5},
        {"empty DACL: owner's implicit rights", "O:BAD:", READ_CONTROL | WRITE_DAC, 0},
        {"empty DACL: not the owner", "O:SYD:", READ_CONTROL, 5},
        {"NULL DACL grants all", "O:SYD:NO_ACCESS_CONTROL", KEY_ALL_ACCESS, 0},
        {"allow then deny: allowed", "O:SYD:(A;;KA;;;BA)(D;;KA;;;WD)", KEY_ALL_ACCESS, 0},
        {"deny then allow: denied", "O:SYD:(D;;0x2;;;WD)(A;;KA;;;BA)", KEY_SET_VALUE, 5},
        {"deny then allow: other bits", "O:SYD:(D;;0x2;;;WD)(A;;KA;;;BA)", KEY_QUERY_VALUE, 0},
        {"maximum allowed", "O:SYD:(A;;KR;;;BA)", 0x02000000, 0},
        {"maximum allowed, nothing granted", "O:SYD:", 0x02000000, 5},
    };
    for (const Row& row : rows) {
        SetSddl(row.sddl);
        Key key;
        EXPECT_EQ(Open(row.access, key), row.status) << row.name;
        EXPECT_EQ(key.handle == nullptr, row.status != 0) << row.name;
    }
}

TEST_F(Security, EachCallNeedsItsRightOnTheHandle) {
    ImportReg("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Key\\Sub]\n");
    char name[64];
    DWORD size = 0, one = 1;
    SECURITY_DESCRIPTOR nullDacl;
    InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    using Call = std::function<LSTATUS(HKEY)>;
    Call enumerate = [&](HKEY key) {
        size = sizeof name;
        return RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
    };
    Call query = [](HKEY key) { return RegQueryValueExA(key, "x", 0, 0, 0, 0); };
    Call setValue = [&](HKEY key) {
        return RegSetValueExA(key, "v", 0, 4, reinterpret_cast<BYTE*>(&one), 4);
    };
    Call getDacl = [&](HKEY key) { return RegGetKeySecurity(key, 4, nullptr, &size); };
    Call setDacl = [&](HKEY key) { return RegSetKeySecurity(key, 4, &nullDacl); };
    struct Row {
        const char* name;
        DWORD granted;
        Call call;
        LSTATUS status;
    };
    const Row rows[] = {
        {"enumerate with it", KEY_ENUMERATE_SUB_KEYS, enumerate, 0},
        {"enumerate without", KEY_QUERY_VALUE, enumerate, 5},
        {"query with it", KEY_QUERY_VALUE, query, ERROR_FILE_NOT_FOUND},
        {"query without", KEY_ENUMERATE_SUB_KEYS, query, 5},
        {"set value with it", KEY_SET_VALUE, setValue, 0},
        {"set value without", KEY_READ, setValue, 5},
        {"read the DACL with it", READ_CONTROL, getDacl, ERROR_INSUFFICIENT_BUFFER},
        {"read the DACL without", KEY_QUERY_VALUE, getDacl, 5},
        {"write the DACL without", KEY_READ, setDacl, 5},
        {"write the DACL with it", WRITE_DAC, setDacl, 0},
    };
    for (const Row& row : rows) {
        Key key;
        ASSERT_EQ(Open(row.granted, key), 0) << row.name;
        EXPECT_EQ(row.call(key.handle), row.status) << row.name;
    }
    EXPECT_EQ(Sddl(), "O:BAD:NO_ACCESS_CONTROL");
}

TEST_F(Security, DeletingNeedsDeleteOnTheSubkeyItself) {
    SetSddl("O:BAD:(A;;KR;;;BA)");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSubkey), 5);
    SetSddl("O:SYD:(A;;SD;;;BA)");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSubkey), 0);
    EXPECT_THROW(Sddl(), std::runtime_error);
}

TEST_F(Security, GetKeySecurityGivesASelfRelativeDescriptorOfWhatIsAsked) {
    Key key;
    ASSERT_EQ(Open(READ_CONTROL, key), 0);
    DWORD size = 91;
    std::vector<BYTE> small(size);
    EXPECT_EQ(RegGetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, small.data(), &size), 122);
    EXPECT_EQ(size, 92u);

    std::vector<BYTE> dacl = KeySecurity(key.handle, DACL_SECURITY_INFORMATION);
    ASSERT_EQ(dacl.size(), 92u);
    EXPECT_EQ(Bytes(dacl.data(), 20), (std::vector<BYTE>{1, 0, 0x04, 0x80, 0, 0, 0,  0, 0, 0,
                                                         0, 0, 0,    0,    0, 0, 20, 0, 0, 0}))
        << "revision 1, self-relative with a DACL, at offset 20 and nothing else";
    EXPECT_EQ(Bytes(dacl.data() + 20, 8), (std::vector<BYTE>{2, 0, 72, 0, 3, 0, 0, 0}));
    struct AceRow {
        size_t at;
        DWORD mask;
        std::vector<BYTE> sid;
    };
    for (const AceRow& ace :
         {AceRow{28, KEY_ALL_ACCESS, kAdminsSid}, AceRow{52, KEY_ALL_ACCESS, kSystemSid},
          AceRow{72, KEY_READ, kEveryoneSid}}) {
        EXPECT_EQ(Word(dacl, ace.at), 0u) << "allowed, no flags, at " << ace.at;
        EXPECT_EQ(Word(dacl, ace.at + 2), 8 + ace.sid.size()) << ace.at;
        EXPECT_EQ(Dword(dacl, ace.at + 4), ace.mask) << ace.at;
        EXPECT_EQ(Bytes(dacl.data() + ace.at + 8, ace.sid.size()), ace.sid) << ace.at;
    }

    std::vector<BYTE> both = KeySecurity(key.handle, OWNER_SECURITY_INFORMATION | 4);
    ASSERT_EQ(both.size(), 92u + 16u);
    ASSERT_NE(Dword(both, 4), 0u);
    EXPECT_EQ(Bytes(both.data() + Dword(both, 4), 16), kAdminsSid);
    emu::SecurityDescriptor parsed;
    ASSERT_EQ(emu::ReadDescriptor(both.data(), parsed), 0u);
    EXPECT_EQ(emu::FormatSddl(parsed), emu::kDefaultKeySddl);
}

TEST_F(Security, SetKeySecurityReplacesTheDaclOnlyAndKeepsIt) {
    SetSddl("O:SYG:BUD:(A;;KA;;;BA)(A;;KR;;;WD)");
    PSID sid = NewAdminsSid();
    std::vector<BYTE> admins = kAdminsSid;
    alignas(8) BYTE acl[32];
    auto* pAcl = reinterpret_cast<PACL>(acl);
    ASSERT_TRUE(InitializeAcl(pAcl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_READ | WRITE_DAC, sid));
    FreeSid(sid);
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&absolute, TRUE, pAcl, FALSE);
    Key key, other;
    ASSERT_EQ(Open(WRITE_DAC, key), 0);
    EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, &absolute), 0);
    EXPECT_EQ(Sddl(), "O:SYG:BUD:(A;;0x60019;;;BA)") << "read back from ROOT/registry";

    ASSERT_EQ(Open(READ_CONTROL, other, "SOFTWARE\\T\\Other"), 0);
    std::vector<BYTE> relative = KeySecurity(other.handle, OWNER_SECURITY_INFORMATION | 4);
    EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, relative.data()), 0);
    const std::string kept = "O:SYG:BUD:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)";
    EXPECT_EQ(Sddl(), kept) << "the owner is not taken from the descriptor";

    struct Row {
        const char* name;
        size_t at;  // the byte spoilt: in the descriptor when below 8, else in the ACL
        BYTE value;
        LSTATUS status;
    };
    const Row rows[] = {
        {"descriptor revision 0", 0, 0, 1305},  // ERROR_UNKNOWN_REVISION
        {"ACL revision 9", 8 + 0, 9, ERROR_INVALID_ACL},
        {"ACE beyond the ACL's size", 8 + 2, 16, ERROR_INVALID_ACL},
        {"ACE of a type no DACL holds", 8 + 8, 0x11, ERROR_INVALID_ACL},
    };
    for (const Row& row : rows) {
        InitializeAcl(pAcl, sizeof acl, ACL_REVISION);
        AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_READ, admins.data());
        absolute.Revision = 1;
        (row.at < 8 ? reinterpret_cast<BYTE*>(&absolute)[row.at] : acl[row.at - 8]) = row.value;
        EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, &absolute), row.status)
            << row.name;
    }
    EXPECT_EQ(Sddl(), kept);
}

TEST_F(Security, CreateKeyMakesThePathWithDefaultDescriptorsWhereTheParentAllows) {
    Key created, opened, refused;
    DWORD disposition = 0;
    auto create = [&](const char* path, REGSAM access, Key& key) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr,
                               &key.handle, &disposition);
    };
    ASSERT_EQ(create("SOFTWARE\\T\\Key\\A\\B", KEY_SET_VALUE, created), 0);
    EXPECT_EQ(disposition, 1u);
    EXPECT_EQ(RegQueryValueExA(created.handle, "x", 0, 0, 0, 0), 5) << "only what was asked for";
    EXPECT_EQ(emu::ReadKeySddl(root_, "HKLM\\SOFTWARE\\T\\Key\\A"), emu::kDefaultKeySddl);
    ASSERT_EQ(create("SOFTWARE\\T\\Key\\A\\B", KEY_READ, opened), 0);
    EXPECT_EQ(disposition, 2u);

    SetSddl("O:BAD:(A;;KR;;;BA)");
    EXPECT_EQ(create("SOFTWARE\\T\\Key\\C\\D", KEY_READ, refused), 5);
    EXPECT_EQ(refused.handle, nullptr);
    EXPECT_THROW(emu::ReadKeySddl(root_, "HKLM\\SOFTWARE\\T\\Key\\C"), std::runtime_error);
    EXPECT_EQ(create(kSubkey, KEY_ALL_ACCESS, refused), 5) << "opened per its DACL";
}

TEST_F(Security, SetValueStoresEightBitStringsAsUtf16AndOtherTypesAsGiven) {
    Key key;
    ASSERT_EQ(Open(KEY_SET_VALUE, key), 0);
    const BYTE text[] = "ab\xc3\xa9", multi[] = {'a', 0, 'b', 0, 0}, raw[] = {1, 0, 0, 0};
    ASSERT_EQ(RegSetValueExA(key.handle, "S", 0, REG_SZ, text, sizeof text), 0);
    ASSERT_EQ(RegSetValueExA(key.handle, "M", 0, REG_MULTI_SZ, multi, sizeof multi), 0);
    ASSERT_EQ(RegSetValueExA(key.handle, "D", 0, REG_DWORD, raw, sizeof raw), 0);
    emu::RegistryTransaction transaction(root_);
    emu::RegKey* stored = transaction.registry().FindPath(kKeyPath);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->Value("S")->data, (std::vector<uint8_t>{'a', 0, 'b', 0, 0xe9, 0, 0, 0}));
    EXPECT_EQ(stored->Value("M")->data.size(), 10u);
    EXPECT_EQ(stored->Value("D")->data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST_F(Security, SddlOfAKeyRoundTripsInCanonicalForm) {
    const std::pair<const char*, const char*> rows[] = {
        {emu::kDefaultKeySddl, emu::kDefaultKeySddl},
        {"O:S-1-5-32-544D:(A;;0xF003F;;;S-1-5-18)", "O:BAD:(A;;KA;;;SY)"},
        {"D:(A;;RCWD;;;BU)(D;;KX;;;AU)", "D:(A;;0x60000;;;BU)(D;;KR;;;AU)"},
        {"G:SYO:BAD:PAI(A;CIOIID;GA;;;CO)", "O:BAG:SYD:PAI(A;OICIID;GA;;;CO)"},
        {"O:BAD:NO_ACCESS_CONTROL", "O:BAD:NO_ACCESS_CONTROL"},
        {"O:BAD:", "O:BAD:"},
        {"O:S-1-5-21-7-500D:(A;;0x0;;;S-1-0x10000000000-1)",
         "O:S-1-5-21-7-500D:(A;;0x0;;;S-1-0x10000000000-1)"},
    };
    for (const auto& [given, printed] : rows) {
        SetSddl(given);
        EXPECT_EQ(Sddl(), printed) << given;
    }
}

TEST_F(Security, ObjectAndContainerInheritEachAloneReadBackAlone) {
    const std::pair<const char*, BYTE> rows[] = {{"OI", 0x01}, {"CI", 0x02}};
    for (const auto& [code, flag] : rows) {
        SCOPED_TRACE(code);
        const std::string sddl = std::string("O:BAD:(A;") + code + ";KA;;;BA)";
        SetSddl(sddl);
        EXPECT_EQ(Sddl(), sddl);
        Key key;
        ASSERT_EQ(Open(READ_CONTROL | WRITE_DAC, key), 0);
        std::vector<BYTE> dacl = KeySecurity(key.handle, DACL_SECURITY_INFORMATION);
        ASSERT_EQ(dacl.size(), 20u + 8u + 24u);
        EXPECT_EQ(dacl[Dword(dacl, 16) + 8 + 1], flag) << "the one ACE's flags";

        SetSddl("O:BAD:(A;;KA;;;BA)");
        EXPECT_EQ(RegSetKeySecurity(key.handle, DACL_SECURITY_INFORMATION, dacl.data()), 0);
        EXPECT_EQ(Sddl(), sddl) << "the binary ACE's flags, in SDDL";
    }
}

TEST_F(Security, MalformedSddlIsRefusedSayingWhyAndChangesNothing) {
    SetSddl("O:SYD:(A;;KA;;;BA)");
    const std::pair<const char*, const char*> rows[] = {
        {"", "empty"},
        {"X:BA", "expected O:, G: or D:"},
        {"O:XX", "unknown SID 'XX'"},
        {"D:(A;;KQ;;;BA)", "unknown rights 'KQ'"},
        {"D:(Z;;KA;;;BA)", "unknown ACE type 'Z'"},
        {"D:(A;;KA;;BA)", "six fields"},
        {"D:(A;;KA;;;BA", "without ')'"},
        {"D:NO_ACCESS_CONTROL(A;;KA;;;BA)", "NULL DACL has no ACEs"},
    };
    for (const auto& [given, why] : rows) {
        try {
            SetSddl(given);
            ADD_FAILURE() << "accepted '" << given << "'";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Sddl(), "O:SYD:(A;;KA;;;BA)");
    EXPECT_THROW(emu::WriteKeySddl(root_, "HKLM\\SOFTWARE\\Nope", "O:BA"), std::runtime_error);
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
