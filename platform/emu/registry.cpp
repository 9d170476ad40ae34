// Registry services of the emulated machine, with the statuses Windows gives.
#include "../platform.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "codepage.h"
#include "errors.h"
#include "machine.h"
#include "registry_store.h"
#include "access_check.h"
#include "key_security.h"
#include "security_constants.h"
#include "security_layout.h"

namespace emu {
namespace {

struct KeyHandle : Object {
    uint64_t id = 0;
    std::string path;     // "HKLM\..." when it was opened, for fault subjects
    uint32_t access = 0;  // what the key's DACL granted when it was opened
};

constexpr uint32_t kWow64Views = 0x0300;  // KEY_WOW64_64KEY, KEY_WOW64_32KEY: no rights
constexpr uint32_t kSaclSecurityInformation = 0x00000008;
constexpr DWORD kCreatedNewKey = 1, kOpenedExistingKey = 2;

const char* PredefinedRoot(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return "HKCR";
    if (key == HKEY_CURRENT_USER) return "HKCU";
    if (key == HKEY_LOCAL_MACHINE) return "HKLM";
    if (key == HKEY_USERS) return "HKU";
    if (key == HKEY_CURRENT_CONFIG) return "HKCC";
    return nullptr;
}

// The path of an open key or a predefined one, for fault subjects; empty when
// the handle is neither.
std::string HandlePath(HKEY key) {
    if (const char* root = PredefinedRoot(key)) return root;
    if (auto* handle = LookupAs<KeyHandle>(key, Kind::Key)) return handle->path;
    return {};
}

// What a handle may do; the predefined roots may do everything.
uint32_t HandleAccess(HKEY key) {
    if (PredefinedRoot(key)) return 0xFFFFFFFF;
    auto* handle = LookupAs<KeyHandle>(key, Kind::Key);
    return handle ? handle->access : 0;
}

bool HandleMay(HKEY key, uint32_t rights) { return (HandleAccess(key) & rights) == rights; }

// The right to a key's SACL comes from SeSecurityPrivilege, never from its
// DACL, and the emulated process has no way to enable that privilege.
LSTATUS CheckPrivileges(REGSAM desired) {
    return (desired & kAccessSystemSecurity) ? kErrorPrivilegeNotHeld : ERROR_SUCCESS;
}

// The running process's access to a key, per the key's descriptor.
LSTATUS CheckKeyAccess(const RegKey& key, REGSAM desired, uint32_t& granted) {
    if (LSTATUS refused = CheckPrivileges(desired)) return refused;
    return static_cast<LSTATUS>(
        AccessCheck(KeyDescriptor(key), ProcessToken(), desired & ~kWow64Views, granted));
}

HKEY NewHandle(uint64_t id, std::string path, uint32_t access) {
    auto handle = std::make_unique<KeyHandle>();
    handle->id = id;
    handle->path = std::move(path);
    handle->access = access;
    return static_cast<HKEY>(Register(Kind::Key, std::move(handle)));
}

// A key's path as fault rules see it: one backslash between names, none at the end.
std::string Join(const std::string& base, const char* sub) {
    std::string path = base;
    for (std::string_view rest = sub ? sub : ""; !rest.empty();) {
        size_t end = rest.find('\\');
        std::string_view name = rest.substr(0, end);
        if (!name.empty()) path += "\\" + std::string(name);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return path;
}

// Windows takes a subkey path that starts with a backslash for a path from the
// registry's top, which no key handle's subkeys are; HKEY_CLASSES_ROOT is a
// view that Windows' own library resolves first, and it takes one.
bool RefusedPath(HKEY key, const char* sub) {
    return sub && sub[0] == '\\' && key != HKEY_CLASSES_ROOT;
}

// How every call on a key handle but the closing one begins: a handle that is
// neither an open key nor a predefined root is refused, then the call is
// entered for faults, about the subkey it names or else the key itself. A
// call that cannot do without a subkey may refuse a null one in between, as
// RegDeleteKeyA does, before a fault could be counted.
LSTATUS EnterKeyCall(const char* function, HKEY key, const char* subkey,
                     bool subkeyRequired = false) {
    std::string base = HandlePath(key);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (subkeyRequired && !subkey) return ERROR_INVALID_PARAMETER;
    return static_cast<LSTATUS>(Enter(function, Join(base, subkey)));
}

// The store's one way in for a call on a key handle: the operation gets the
// key behind the handle, or the call the status Windows gives when there is
// none (a key deleted through another handle, or a handle closed meanwhile).
template <class Operation>
LSTATUS OnKey(HKEY handle, Operation&& operation) {
    return static_cast<LSTATUS>(WithRegistry([&](Registry& registry, bool& commit) -> uint32_t {
        RegKey* key = nullptr;
        if (const char* root = PredefinedRoot(handle)) {
            key = registry.Root(root);
        } else if (auto* open = LookupAs<KeyHandle>(handle, Kind::Key)) {
            key = registry.ById(open->id);
            if (!key) return ERROR_KEY_DELETED;
        } else {
            return ERROR_INVALID_HANDLE;
        }
        return static_cast<uint32_t>(operation(registry, *key, commit));
    }));
}

// The last key along the path that exists; `complete` when it is the whole path.
RegKey* DeepestExisting(RegKey& from, std::string_view path, bool& complete) {
    RegKey* key = &from;
    complete = true;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = std::min(path.find('\\', start), path.size());
        if (end > start) {
            RegKey* next = key->Subkey(path.substr(start, end - start));
            if (!next) {
                complete = false;
                return key;
            }
            key = next;
        }
        start = end + 1;
    }
    return key;
}

}  // namespace
}  // namespace emu

using emu::Kind;
using emu::KeyHandle;
using emu::RegKey;
using emu::Registry;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (LSTATUS refused = emu::EnterKeyCall("RegOpenKeyExA", hKey, lpSubKey)) return refused;
    if (emu::RefusedPath(hKey, lpSubKey)) return emu::kErrorBadPathname;
    return emu::OnKey(hKey, [&](Registry& registry, RegKey& from, bool&) -> LSTATUS {
        RegKey* key = registry.Find(from, lpSubKey ? lpSubKey : "");
        if (!key) return ERROR_FILE_NOT_FOUND;
        uint32_t granted = 0;
        if (LSTATUS denied = emu::CheckKeyAccess(*key, samDesired, granted)) return denied;
        *phkResult = emu::NewHandle(key->id(), Registry::ShortPath(*key), granted);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCloseKey(HKEY hKey) {
    uint32_t error = emu::Enter("RegCloseKey", emu::HandlePath(hKey));
    if (emu::PredefinedRoot(hKey)) return ERROR_SUCCESS;
    if (!emu::Release(hKey, Kind::Key)) return ERROR_INVALID_HANDLE;
    return static_cast<LSTATUS>(error);  // the key is closed whatever a fault says
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (LSTATUS refused = emu::EnterKeyCall("RegEnumKeyExA", hKey, nullptr)) return refused;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (!emu::HandleMay(hKey, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    return emu::OnKey(hKey, [&](Registry&, RegKey& key, bool&) -> LSTATUS {
        if (dwIndex >= key.SubkeyCount()) return ERROR_NO_MORE_ITEMS;
        const std::string& name = key.SubkeyAt(dwIndex)->name();
        if (name.size() >= *lpcchName) {
            // Windows leaves such a buffer without a terminating NUL.
            std::memcpy(lpName, name.data(), *lpcchName);
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass && lpcchClass && *lpcchClass) {
            *lpClass = '\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (LSTATUS refused = emu::EnterKeyCall("RegQueryValueExA", hKey, nullptr)) return refused;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    if (!emu::HandleMay(hKey, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return emu::OnKey(hKey, [&](Registry&, RegKey& key, bool&) -> LSTATUS {
        const emu::RegValue* value = key.Value(lpValueName ? lpValueName : "");
        if (!value) {
            if (lpcbData && !lpData) *lpcbData = 0;
            return ERROR_FILE_NOT_FOUND;
        }
        std::string data = emu::AnsiData(*value);
        // Read before anything is written: the type and the size may share a variable.
        DWORD capacity = lpcbData ? *lpcbData : 0;
        if (lpType) *lpType = value->type;
        if (!lpcbData) return ERROR_SUCCESS;
        *lpcbData = static_cast<DWORD>(data.size());
        if (!lpData) return ERROR_SUCCESS;
        if (capacity < data.size()) return ERROR_MORE_DATA;
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
        std::memcpy(lpData, data.data(), data.size());
        // A string stored without its NUL gets one where the buffer has room;
        // the size given back stays the data's.
        if (emu::IsStringType(value->type) && !data.empty() && data.back() != '\0' &&
            capacity > data.size())
            lpData[data.size()] = '\0';
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (LSTATUS refused =
            emu::EnterKeyCall("RegDeleteKeyA", hKey, lpSubKey, /*subkeyRequired=*/true))
        return refused;
    return emu::OnKey(hKey, [&](Registry& registry, RegKey& from, bool& commit) -> LSTATUS {
        RegKey* key = registry.Find(from, lpSubKey);
        if (!key) return ERROR_FILE_NOT_FOUND;
        uint32_t granted = 0;
        if (LSTATUS denied = emu::CheckKeyAccess(*key, emu::kDelete, granted)) return denied;
        if (!key->parent() || key->SubkeyCount() != 0) return ERROR_ACCESS_DENIED;
        registry.Remove(*key);
        commit = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return emu::kErrorBadKey;
    *phkResult = nullptr;
    if (LSTATUS refused = emu::EnterKeyCall("RegCreateKeyExA", hKey, lpSubKey)) return refused;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    if (emu::RefusedPath(hKey, lpSubKey)) return emu::kErrorBadPathname;
    std::optional<emu::SecurityDescriptor> given;
    if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor) {
        given.emplace();
        if (uint32_t invalid =
                emu::ReadDescriptor(lpSecurityAttributes->lpSecurityDescriptor, *given))
            return static_cast<LSTATUS>(invalid);
    }
    uint64_t id = 0;
    std::string path;
    uint32_t granted = 0;
    DWORD disposition = 0;
    LSTATUS status = emu::OnKey(hKey, [&](Registry& registry, RegKey& from,
                                          bool& commit) -> LSTATUS {
        bool exists = false;
        RegKey* deepest = emu::DeepestExisting(from, lpSubKey, exists);
        RegKey* key = deepest;
        if (exists) {
            if (LSTATUS denied = emu::CheckKeyAccess(*key, samDesired, granted)) return denied;
            disposition = emu::kOpenedExistingKey;
        } else {
            if (LSTATUS refused = emu::CheckPrivileges(samDesired)) return refused;
            uint32_t parentAccess = 0;
            if (LSTATUS denied = emu::CheckKeyAccess(*deepest, KEY_CREATE_SUB_KEY, parentAccess))
                return denied;
            bool isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
            if (deepest->IsVolatile() && !isVolatile) return emu::kErrorChildMustBeVolatile;
            key = registry.Create(from, lpSubKey, isVolatile);
            if (!key) return ERROR_INVALID_PARAMETER;
            if (given) {
                emu::SecurityDescriptor descriptor = emu::KeyDescriptor(*key);
                if (given->owner) descriptor.owner = given->owner;
                if (given->group) descriptor.group = given->group;
                if (given->daclForm != emu::DaclForm::Absent) {
                    descriptor.daclForm = given->daclForm;
                    descriptor.daclControl = given->daclControl;
                    descriptor.dacl = given->dacl;
                }
                emu::SetKeyDescriptor(*key, descriptor);
            }
            // The creator gets what it asked for, whatever the new DACL says.
            granted =
                emu::MapKeyGenericRights(samDesired & ~(emu::kWow64Views | emu::kMaximumAllowed));
            if (samDesired & emu::kMaximumAllowed) granted |= KEY_ALL_ACCESS;
            disposition = emu::kCreatedNewKey;
            commit = true;
        }
        id = key->id();
        path = Registry::ShortPath(*key);
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    *phkResult = emu::NewHandle(id, std::move(path), granted);
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (LSTATUS refused = emu::EnterKeyCall("RegSetValueExA", hKey, nullptr)) return refused;
    if (!emu::HandleMay(hKey, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!lpData && cbData) return ERROR_NOACCESS;
    emu::RegValue value;
    value.name = lpValueName ? lpValueName : "";
    value.type = dwType;
    // Windows looks one byte past a string given without its NUL, and stores
    // the NUL it finds there with the string.
    if (emu::IsStringType(dwType) && lpData && cbData && lpData[cbData - 1] != 0 &&
        lpData[cbData] == 0)
        ++cbData;
    std::string_view given(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
    if (emu::IsStringType(dwType)) {
        value.data = emu::Utf8ToUtf16le(given);
    } else {
        value.data.assign(given.begin(), given.end());
    }
    return emu::OnKey(hKey, [&](Registry&, RegKey& key, bool& commit) -> LSTATUS {
        key.SetValue(std::move(value));
        commit = true;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                          PSECURITY_DESCRIPTOR pSecurityDescriptor,
                          LPDWORD lpcbSecurityDescriptor) {
    if (LSTATUS refused = emu::EnterKeyCall("RegGetKeySecurity", hKey, nullptr)) return refused;
    if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    uint32_t needed = 0;
    if (SecurityInformation &
        (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
        needed |= READ_CONTROL;
    if (SecurityInformation & emu::kSaclSecurityInformation) needed |= emu::kAccessSystemSecurity;
    if (!emu::HandleMay(hKey, needed)) return ERROR_ACCESS_DENIED;
    return emu::OnKey(hKey, [&](Registry&, RegKey& key, bool&) -> LSTATUS {
        std::vector<uint8_t> bytes =
            emu::SelfRelativeBytes(emu::KeyDescriptor(key), SecurityInformation);
        DWORD capacity = *lpcbSecurityDescriptor;
        *lpcbSecurityDescriptor = static_cast<DWORD>(bytes.size());
        if (!pSecurityDescriptor || capacity < bytes.size()) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(pSecurityDescriptor, bytes.data(), bytes.size());
        return ERROR_SUCCESS;
    });
}

LSTATUS RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                          PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (LSTATUS refused = emu::EnterKeyCall("RegSetKeySecurity", hKey, nullptr)) return refused;
    if (!pSecurityDescriptor) return ERROR_INVALID_PARAMETER;
    uint32_t needed = 0;
    if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
        needed |= emu::kWriteOwner;
    if (SecurityInformation & emu::kSaclSecurityInformation) needed |= emu::kAccessSystemSecurity;
    if (!emu::HandleMay(hKey, needed)) return ERROR_ACCESS_DENIED;
    emu::SecurityDescriptor given;
    if (uint32_t invalid = emu::ReadDescriptor(pSecurityDescriptor, given))
        return static_cast<LSTATUS>(invalid);
    if (((SecurityInformation & OWNER_SECURITY_INFORMATION) && !given.owner) ||
        ((SecurityInformation & GROUP_SECURITY_INFORMATION) && !given.group))
        return ERROR_INVALID_SECURITY_DESCR;
    return emu::OnKey(hKey, [&](Registry&, RegKey& key, bool& commit) -> LSTATUS {
        emu::SecurityDescriptor descriptor = emu::KeyDescriptor(key);
        if (SecurityInformation & OWNER_SECURITY_INFORMATION) descriptor.owner = given.owner;
        if (SecurityInformation & GROUP_SECURITY_INFORMATION) descriptor.group = given.group;
        if (SecurityInformation & DACL_SECURITY_INFORMATION) {
            // A descriptor without a DACL leaves the key open to all, as a NULL one does.
            descriptor.daclForm =
                given.daclForm == emu::DaclForm::Absent ? emu::DaclForm::Null : given.daclForm;
            descriptor.daclControl = given.daclControl;
            descriptor.dacl = given.dacl;
        }
        emu::SetKeyDescriptor(key, descriptor);
        commit = true;
        return ERROR_SUCCESS;
    });
}
