// The emulated machine's registry: a tree of keys kept in ROOT/registry.
//
// Every process that touches it (the Installer, the programs it starts,
// vtn2-machine) works inside a RegistryTransaction: an exclusive lock on
// ROOT/registry.lock for the length of one change, so no process ever sees
// another's half-made change. A process keeps the tree it loaded between
// transactions and, under the lock, reads only what others appended since;
// a commit appends its changes to the store as one journal transaction, and
// the store is rewritten whole (atomically) only when the journal has grown
// past the snapshot before it.
#ifndef VTN2_EMU_REGISTRY_STORE_H
#define VTN2_EMU_REGISTRY_STORE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace emu {

// Names are compared the way Windows compares them: without regard to the
// case of the letters, kept as they were given.
std::string FoldCase(std::string_view name);
bool NamesEqual(std::string_view a, std::string_view b);
// Windows' listing order: the names in upper case, byte by byte.
int CompareNames(std::string_view a, std::string_view b);
// Whether a key name fits Windows' limit of 255 characters, which it counts
// in UTF-16 as it stores them, not in the bytes of the 8-bit calls.
constexpr size_t kMaxKeyName = 255;
bool KeyNameFits(std::string_view name);

// Text with every byte that could break a line of the machine's stores
// (blanks, controls, '%', bytes above 0x7E) written as %XX, and back; false
// when the text holds a malformed %XX.
std::string PercentEncode(std::string_view text);
bool PercentDecode(std::string_view text, std::string& out);

// A store of the machine that does not read back as the writer left it:
// the message names the file, the line and what is wrong.
class StoreCorrupt : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Says on standard error, once for each fault, what is wrong with a store:
// a program whose calls fail for it then tells its user why.
void ReportCorrupt(const StoreCorrupt& error);

struct RegValue {
    std::string name;           // UTF-8, as the A calls see it; "" is the default value
    uint32_t type = 0;          // REG_SZ, REG_MULTI_SZ, ...
    std::vector<uint8_t> data;  // as Windows stores it: strings in UTF-16LE
};

class Registry;

class RegKey {
public:
    std::string name;
    uint64_t id = 0;  // never reused, so a handle to a deleted key stays dead
    RegKey* parent = nullptr;

    RegKey* Subkey(std::string_view name) const;
    // The subkeys in listing order, by position.
    size_t SubkeyCount() const { return subkeys_.size(); }
    RegKey* SubkeyAt(size_t index) const { return subkeys_[index].get(); }
    std::vector<RegKey*> Subkeys() const;

    const std::vector<RegValue>& Values() const { return values_; }  // in creation order
    const RegValue* Value(std::string_view name) const;
    void SetValue(RegValue value);
    bool DeleteValue(std::string_view name);

    // Security descriptor as SDDL; empty means the default one.
    const std::string& Sddl() const { return sddl_; }
    void SetSddl(std::string sddl);

private:
    friend class Registry;
    friend class StoreReader;
    void Touch();

    Registry* registry_ = nullptr;
    bool touched_ = false;
    std::string sddl_;
    std::vector<RegValue> values_;
    std::vector<std::unique_ptr<RegKey>> subkeys_;  // sorted by CompareNames
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The predefined roots, by the names .reg files use ("HKEY_LOCAL_MACHINE")
    // or their short forms ("HKLM").
    RegKey* Root(std::string_view name);
    RegKey* ById(uint64_t id);
    // Follows a path of names separated by backslashes ("" is the key itself).
    RegKey* Find(RegKey& from, std::string_view path);
    // A full path such as "HKEY_LOCAL_MACHINE\SYSTEM\x" or "HKLM\SYSTEM\x".
    RegKey* FindPath(std::string_view fullPath);
    // Creates what is missing along the path; the case given is kept.
    // Returns null when a name is empty or longer than 255 characters, or the
    // key would lie deeper than Windows allows (MaxDepth).
    RegKey* Create(RegKey& from, std::string_view path);
    RegKey* CreatePath(std::string_view fullPath);
    // Removes the key and everything under it.
    void Remove(RegKey& key);

    // How many levels of keys a root may hold under it: Windows counts 512
    // from \REGISTRY, where HKLM is \REGISTRY\MACHINE (two levels) and HKCU
    // \REGISTRY\USER\SID (three).
    static size_t MaxDepth(const RegKey& root);
    // Levels below the key's root (a root is 0).
    static size_t Depth(const RegKey& key);

    // "HKLM\SYSTEM\..." for fault subjects; "HKEY_LOCAL_MACHINE\SYSTEM\..." for .reg text.
    static std::string ShortPath(const RegKey& key);
    static std::string LongPath(const RegKey& key);

    // The whole tree as store text: a snapshot that ends with its end line.
    std::string Serialize() const;
    // Throws StoreCorrupt ("SOURCE:LINE: what") when the text is not a
    // registry as Serialize and the journal write it.
    static std::unique_ptr<Registry> Parse(const std::string& text,
                                           const std::string& source = "registry");

    std::vector<RegKey*> Roots() const;

    // What changed since the last MarkSaved, as journal records (without
    // the commit line that closes them).
    bool Changed() const;
    std::string Changes();
    void MarkSaved();
    uint64_t NextId() const { return nextId_; }

private:
    friend class RegKey;
    friend class StoreReader;

    RegKey* Insert(RegKey& parent, std::unique_ptr<RegKey> key);
    void Index(RegKey& key);
    static void Dismantle(std::vector<std::unique_ptr<RegKey>>& pending,
                          std::unordered_map<uint64_t, RegKey*>* index);

    uint64_t nextId_ = 1;
    uint64_t savedNextId_ = 1;  // ids below it were in the store at the last save
    std::unique_ptr<RegKey> roots_[5];
    std::unordered_map<uint64_t, RegKey*> byId_;
    std::vector<uint64_t> touched_;  // keys whose record changed since the last save
    std::vector<uint64_t> removed_;  // saved keys removed since, with their subtrees
};

// An exclusive hold on one machine's registry for the length of one change.
class RegistryTransaction {
public:
    // Throws std::runtime_error when ROOT holds no registry, StoreCorrupt
    // when it holds a corrupt one; the lock is released either way.
    explicit RegistryTransaction(const std::filesystem::path& root);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    Registry& registry();
    // Keeps the changes, atomically; without it nothing is kept.
    void Commit();

    // Writes a new registry for a machine being made (no lock needed yet).
    static void Create(const std::filesystem::path& root, const Registry& registry);

private:
    struct Lock {
        int fd = -1;
        ~Lock();
    };
    std::unique_lock<std::mutex> inProcess_;
    Lock lock_;
    bool committed_ = false;
};

// How the registry, device and file calls reach the registry: the one way.
// Runs operation(registry, commit) in a transaction and returns the Win32
// code it returns; the change is kept when it sets commit. A failure of the
// store itself gives the same code whichever call met it:
//   no machine (VTN2_MACHINE unset, or naming none)       3     ERROR_PATH_NOT_FOUND
//   the store corrupt (said once on standard error)       1015  ERROR_REGISTRY_CORRUPT
//   the store not to be locked, read or written           1015  ERROR_REGISTRY_CORRUPT
uint32_t WithRegistry(const std::function<uint32_t(Registry& registry, bool& commit)>& operation);

// Text conversions between the A calls' 8-bit texts and the UTF-16LE that
// Windows stores; the 8-bit code page is UTF-8 (codepage.h).
std::vector<uint8_t> ToUtf16(std::string_view text);
std::string FromUtf16(const uint8_t* data, size_t bytes);

}  // namespace emu

#endif
