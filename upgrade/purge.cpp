#include "upgrade.h"

#include "../main/guards.h"

#define SERVICES_KEY "SYSTEM\\CurrentControlSet\\Services\\"
#define NAME_BUFFER_SIZE 512

static const char* const szFragments[2] = {"vlqwdzsv", "vlqwdzex"};

// The name of the subkey at an index. A name reported as longer than the
// buffer (234) is cut at the buffer's end, never read past it.
static LONG EnumSubkey(HKEY hKey, DWORD dwIndex, char* szName) {
    DWORD dwLength = NAME_BUFFER_SIZE;
    LONG lStatus = RegEnumKeyExA(hKey, dwIndex, szName, &dwLength, NULL, NULL, NULL, NULL);
    szName[NAME_BUFFER_SIZE - 1] = '\0';
    return lStatus;
}

static int EntryReturned(LONG lStatus) {
    return lStatus == ERROR_SUCCESS || lStatus == ERROR_MORE_DATA;
}

// Deletes one subkey of hKey after the subkeys of its own.
static void DeleteSubkey(HKEY hKey, const char* szSubkey) {
    UniqueHkey hSubkey;
    if (RegOpenKeyExA(hKey, szSubkey, 0, KEY_ALL_ACCESS, hSubkey.put()) != ERROR_SUCCESS) return;
    char szName[NAME_BUFFER_SIZE];
    for (DWORD k = 0; EntryReturned(EnumSubkey(hSubkey.get(), k, szName)); ++k)
        RegDeleteKeyA(hSubkey.get(), szName);
    RegDeleteKeyA(hKey, szSubkey);
}

// Purges one matching key of the service database; 1 when it is gone.
static int PurgeKey(HKEY hServices, const char* szName) {
    UniqueHkey hKey;
    if (RegOpenKeyExA(hServices, szName, 0, KEY_ALL_ACCESS, hKey.put()) != ERROR_SUCCESS) return 0;
    char szSubkey[NAME_BUFFER_SIZE];
    for (DWORD j = 0; EntryReturned(EnumSubkey(hKey.get(), j, szSubkey)); ++j)
        DeleteSubkey(hKey.get(), szSubkey);
    if (GrantAdminsFullControl(hServices, szName) != 0) return 0;
    return RegDeleteKeyA(hServices, szName) == ERROR_SUCCESS;
}

// Here, in PurgeKey and in DeleteSubkey, the index moves on after a deletion
// although the next key moves up into its place, which waits for the next pass
// or stays: kept on purpose, for the keys a run leaves and its exit code (1
// when it deleted one) are what administrators' scripts expect.
static void PurgePass(int bRemoved[2]) {
    UniqueHkey hServices;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICES_KEY, 0, KEY_READ, hServices.put()) !=
        ERROR_SUCCESS)
        return;
    char szName[NAME_BUFFER_SIZE];
    for (DWORD i = 0; EntryReturned(EnumSubkey(hServices.get(), i, szName)); ++i) {
        for (int n = 0; n < 2; ++n) {
            if (strstr(szName, szFragments[n]) && PurgeKey(hServices.get(), szName))
                bRemoved[n] = 1;
        }
    }
}

int PurgeServiceKeys(void) {
    int bRemoved[2] = {0, 0};  // the "vlqwdzsv" key, the "vlqwdzex" key
    for (int nPass = 0; nPass < 2 && !(bRemoved[0] && bRemoved[1]); ++nPass) PurgePass(bRemoved);
    return bRemoved[0] || bRemoved[1];
}

int GrantAdminsFullControl(HKEY parentKey, const char* szName) {
    UniqueHkey hKey;
    if (RegOpenKeyExA(parentKey, szName, 0, READ_CONTROL, hKey.put()) != ERROR_SUCCESS) return 1;
    // The key's present descriptor must be readable before it is replaced.
    DWORD dwSize = 0;
    if (RegGetKeySecurity(hKey.get(), DACL_SECURITY_INFORMATION, NULL, &dwSize) !=
        ERROR_INSUFFICIENT_BUFFER)
        return 1;
    UniqueHeapBlock oldDescriptor(GetProcessHeap(), dwSize);
    if (!oldDescriptor.valid()) return 1;
    if (RegGetKeySecurity(hKey.get(), DACL_SECURITY_INFORMATION, oldDescriptor.get(), &dwSize) !=
        ERROR_SUCCESS)
        return 1;

    hKey.reset();
    if (RegOpenKeyExA(parentKey, szName, 0, WRITE_DAC, hKey.put()) != ERROR_SUCCESS) return 1;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid adminsSid;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, adminsSid.put()))
        return 1;
    DWORD dwAclSize = GetLengthSid(adminsSid.get()) + 16;
    UniqueHeapBlock aclBlock(GetProcessHeap(), dwAclSize);
    if (!aclBlock.valid()) return 1;
    PACL pAcl = static_cast<PACL>(aclBlock.get());
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(pAcl, dwAclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_ALL_ACCESS, adminsSid.get()) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, pAcl, FALSE))
        return 1;
    return RegSetKeySecurity(hKey.get(), DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS
               ? 0
               : 1;
}
