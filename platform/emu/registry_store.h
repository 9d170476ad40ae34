// The emulated machine's registry: a tree of keys kept in ROOT/registry.
//
// Every process that touches it (the Installer, the programs it starts,
// vtn2-machine) works inside a RegistryTransaction: an exclusive lock on
// ROOT/registry.lock, a fresh load, and an atomic replacement of the file on
// commit, so no process ever sees another's half-made change.
#ifndef VTN2_EMU_REGISTRY_STORE_H
#define VTN2_EMU_REGISTRY_STORE_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Names are compared the way Windows compares them: without regard to the
// case of the letters, kept as they were given.
std::string FoldCase(std::string_view name);

// Text with every byte that could break a line of the machine's stores
// (blanks, controls, '%', bytes above 0x7E) written as %XX, and back; false
// when the text holds a malformed %XX.
std::string PercentEncode(std::string_view text);
bool PercentDecode(std::string_view text, std::string& out);
bool NamesEqual(std::string_view a, std::string_view b);

struct RegValue {
    std::string name;           // UTF-8, as the A calls see it; "" is the default value
    uint32_t type = 0;          // REG_SZ, REG_MULTI_SZ, ...
    std::vector<uint8_t> data;  // as Windows stores it: strings in UTF-16LE
};

struct RegKey {
    std::string name;
    uint64_t id = 0;  // never reused, so a handle to a deleted key stays dead
    std::string sddl;  // security descriptor; empty means the default one
    RegKey* parent = nullptr;
    std::vector<RegValue> values;                          // in creation order
    std::map<std::string, std::unique_ptr<RegKey>> subkeys;  // by FoldCase(name): listing order

    RegKey* Subkey(std::string_view name) const;
    RegValue* Value(std::string_view name);
    const RegValue* Value(std::string_view name) const;
    void SetValue(RegValue value);
    bool DeleteValue(std::string_view name);
    // The key's subkeys in listing order.
    std::vector<RegKey*> Subkeys() const;
};

class Registry {
public:
    Registry();

    // The predefined roots, by the names .reg files use ("HKEY_LOCAL_MACHINE")
    // or their short forms ("HKLM").
    RegKey* Root(std::string_view name);
    RegKey* ById(uint64_t id);
    // Follows a path of names separated by backslashes ("" is the key itself).
    RegKey* Find(RegKey& from, std::string_view path);
    // A full path such as "HKEY_LOCAL_MACHINE\SYSTEM\x" or "HKLM\SYSTEM\x".
    RegKey* FindPath(std::string_view fullPath);
    // Creates what is missing along the path; the case given is kept.
    // Returns null when a name is empty or longer than 255 characters.
    RegKey* Create(RegKey& from, std::string_view path);
    RegKey* CreatePath(std::string_view fullPath);
    // Removes the key and everything under it.
    void Remove(RegKey& key);

    // "HKLM\SYSTEM\..." for fault subjects; "HKEY_LOCAL_MACHINE\SYSTEM\..." for .reg text.
    static std::string ShortPath(const RegKey& key);
    static std::string LongPath(const RegKey& key);

    std::string Serialize() const;
    // Throws std::runtime_error naming the line when the text is not a registry.
    static Registry Parse(const std::string& text);

    std::vector<RegKey*> Roots() const;

private:
    void Index(RegKey& key);
    void Unindex(RegKey& key);

    uint64_t nextId_ = 1;
    std::map<std::string, std::unique_ptr<RegKey>> roots_;  // by long root name, folded
    std::map<uint64_t, RegKey*> byId_;
};

// An exclusive hold on one machine's registry for the length of one change.
class RegistryTransaction {
public:
    // Throws std::runtime_error when ROOT holds no registry.
    explicit RegistryTransaction(const std::filesystem::path& root);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    Registry& registry() { return registry_; }
    // Writes the registry back, atomically; without it nothing is kept.
    void Commit();

    // Writes a new registry for a machine being made (no lock needed yet).
    static void Create(const std::filesystem::path& root, const Registry& registry);

private:
    std::filesystem::path root_;
    int lockFd_ = -1;
    Registry registry_;
};

// Text conversions between the A calls' 8-bit texts and the UTF-16LE that
// Windows stores; the 8-bit code page is UTF-8 (codepage.h).
std::vector<uint8_t> ToUtf16(std::string_view text);
std::string FromUtf16(const uint8_t* data, size_t bytes);

}  // namespace emu

#endif
