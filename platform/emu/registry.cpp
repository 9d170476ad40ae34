// Registry services of the emulated machine, with the statuses Windows gives.
#include "../platform.h"

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "machine.h"
#include "registry_store.h"

namespace emu {
namespace {

struct KeyHandle : Object {
    uint64_t id = 0;
    std::string path;  // "HKLM\..." when it was opened, for fault subjects
};

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

std::string Join(const std::string& base, const char* sub) {
    if (!sub || !*sub) return base;
    std::string path = base;
    while (*sub == '\\') ++sub;
    return path + "\\" + sub;
}

// Runs one registry operation inside a transaction. The operation returns a
// status; the change is kept only when it asks for a commit.
template <class Operation>
LSTATUS WithRegistry(Operation operation) {
    std::optional<std::filesystem::path> root = MachineRoot();
    if (!root) return ERROR_PATH_NOT_FOUND;
    try {
        RegistryTransaction transaction(*root);
        bool commit = false;
        LSTATUS status = operation(transaction.registry(), commit);
        if (commit) transaction.Commit();
        return status;
    } catch (const std::exception&) {
        return 1015;  // ERROR_REGISTRY_CORRUPT
    }
}

// The key behind a handle, or the status Windows gives for it.
RegKey* Resolve(Registry& registry, HKEY key, LSTATUS& status) {
    if (const char* root = PredefinedRoot(key)) return registry.Root(root);
    auto* handle = LookupAs<KeyHandle>(key, Kind::Key);
    if (!handle) {
        status = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    RegKey* found = registry.ById(handle->id);
    if (!found) status = ERROR_KEY_DELETED;
    return found;
}

}  // namespace
}  // namespace emu

using emu::Kind;
using emu::KeyHandle;
using emu::RegKey;
using emu::Registry;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::string base = emu::HandlePath(hKey);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (uint32_t error = emu::Enter("RegOpenKeyExA", emu::Join(base, lpSubKey))) return error;
    return emu::WithRegistry([&](Registry& registry, bool&) -> LSTATUS {
        LSTATUS status = ERROR_SUCCESS;
        RegKey* from = emu::Resolve(registry, hKey, status);
        if (!from) return status;
        RegKey* key = registry.Find(*from, lpSubKey ? lpSubKey : "");
        if (!key) return ERROR_FILE_NOT_FOUND;
        auto handle = std::make_unique<KeyHandle>();
        handle->id = key->id;
        handle->path = Registry::ShortPath(*key);
        *phkResult = static_cast<HKEY>(emu::Register(Kind::Key, std::move(handle)));
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
    std::string base = emu::HandlePath(hKey);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (uint32_t error = emu::Enter("RegEnumKeyExA", base)) return error;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    return emu::WithRegistry([&](Registry& registry, bool&) -> LSTATUS {
        LSTATUS status = ERROR_SUCCESS;
        RegKey* key = emu::Resolve(registry, hKey, status);
        if (!key) return status;
        std::vector<RegKey*> subkeys = key->Subkeys();
        if (dwIndex >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
        const std::string& name = subkeys[dwIndex]->name;
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
    std::string base = emu::HandlePath(hKey);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (uint32_t error = emu::Enter("RegQueryValueExA", base)) return error;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    return emu::WithRegistry([&](Registry& registry, bool&) -> LSTATUS {
        LSTATUS status = ERROR_SUCCESS;
        RegKey* key = emu::Resolve(registry, hKey, status);
        if (!key) return status;
        const emu::RegValue* value = key->Value(lpValueName ? lpValueName : "");
        if (!value) return ERROR_FILE_NOT_FOUND;
        std::string data(value->data.begin(), value->data.end());
        if (value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ)
            data = emu::FromUtf16(value->data.data(), value->data.size());
        if (lpType) *lpType = value->type;
        if (!lpcbData) return ERROR_SUCCESS;
        DWORD capacity = *lpcbData;
        *lpcbData = static_cast<DWORD>(data.size());
        if (!lpData) return ERROR_SUCCESS;
        if (capacity < data.size()) return ERROR_MORE_DATA;
        std::memcpy(lpData, data.data(), data.size());
        return ERROR_SUCCESS;
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    std::string base = emu::HandlePath(hKey);
    if (base.empty()) return ERROR_INVALID_HANDLE;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    if (uint32_t error = emu::Enter("RegDeleteKeyA", emu::Join(base, lpSubKey))) return error;
    return emu::WithRegistry([&](Registry& registry, bool& commit) -> LSTATUS {
        LSTATUS status = ERROR_SUCCESS;
        RegKey* from = emu::Resolve(registry, hKey, status);
        if (!from) return status;
        RegKey* key = registry.Find(*from, lpSubKey);
        if (!key) return ERROR_FILE_NOT_FOUND;
        if (!key->parent || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        registry.Remove(*key);
        commit = true;
        return ERROR_SUCCESS;
    });
}
