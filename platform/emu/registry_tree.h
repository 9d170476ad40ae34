// The emulated machine's registry as a tree of keys in memory: names as
// Windows compares them, keys with their values and security descriptors
// (as SDDL text), and what changed since the tree was last saved. How it is
// written and read is registry_format.h's; where it is kept, registry_store.h's.
#ifndef VTN2_EMU_REGISTRY_TREE_H
#define VTN2_EMU_REGISTRY_TREE_H

#include <cstddef>
#include <cstdint>
#include <memory>
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

struct RegValue {
    std::string name;           // UTF-8, as the A calls see it; "" is the default value
    uint32_t type = 0;          // REG_SZ, REG_MULTI_SZ, ...
    std::vector<uint8_t> data;  // as Windows stores it: strings in UTF-16LE
};

// Whether Windows keeps a type's data as UTF-16 text (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ); the data an 8-bit call hands out for a value, exactly as
// stored: a string without its NUL stays without it.
bool IsStringType(uint32_t type);
std::string AnsiData(const RegValue& value);

class Registry;

// A key of the tree. Its name, id and parent are its registry's to set:
// its parent's subkeys are kept sorted by name, and ids index the keys.
class RegKey {
public:
    const std::string& name() const { return name_; }
    uint64_t id() const { return id_; }  // never reused, so a handle to a deleted key stays dead
    RegKey* parent() const { return parent_; }

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

    // A volatile key lasts until the machine restarts, and so does all below it.
    bool IsVolatile() const { return volatile_; }

private:
    friend class Registry;
    friend class StoreReader;
    void Touch();

    std::string name_;
    uint64_t id_ = 0;
    RegKey* parent_ = nullptr;
    Registry* registry_ = nullptr;
    bool touched_ = false;
    bool volatile_ = false;
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
    // Creates what is missing along the path, volatile or not; the case
    // given is kept. Returns null when a name is empty or longer than 255
    // characters, or the key would lie deeper than Windows allows (MaxDepth).
    RegKey* Create(RegKey& from, std::string_view path, bool isVolatile = false);
    RegKey* CreatePath(std::string_view fullPath);
    // Removes the key and everything under it.
    void Remove(RegKey& key);
    // Removes the volatile keys, as a restart does.
    void RemoveVolatile();

    // How many levels of keys a root may hold under it: Windows counts 512
    // from \REGISTRY, where HKLM is \REGISTRY\MACHINE (two levels) and HKCU
    // \REGISTRY\USER\SID (three).
    static size_t MaxDepth(const RegKey& root);
    // Levels below the key's root (a root is 0).
    static size_t Depth(const RegKey& key);

    // "HKLM\SYSTEM\..." for fault subjects; "HKEY_LOCAL_MACHINE\SYSTEM\..." for .reg text.
    static std::string ShortPath(const RegKey& key);
    static std::string LongPath(const RegKey& key);

    // The store's text (registry_format.cpp): the whole tree as a snapshot
    // that ends with its end line.
    std::string Serialize() const;
    // Throws StoreCorrupt ("SOURCE:LINE: what") when the text is not a
    // registry as Serialize and the journal write it.
    static std::unique_ptr<Registry> Parse(const std::string& text,
                                           const std::string& source = "registry");

    // What changed since the last MarkSaved, as journal records (without
    // the commit line that closes them).
    bool Changed() const;
    std::string Changes();
    void MarkSaved();
    uint64_t NextId() const { return nextId_; }

    static constexpr size_t kRootCount = 5;

private:
    friend class RegKey;
    friend class StoreReader;

    // The root's index by either of its names, -1 for none; its long name.
    static int RootIndex(std::string_view name);
    static const char* RootName(size_t index);
    static const RegKey& RootOf(const RegKey& key);

    RegKey* Insert(RegKey& parent, std::unique_ptr<RegKey> key);
    void Index(RegKey& key);
    static void Dismantle(std::vector<std::unique_ptr<RegKey>>& pending,
                          std::unordered_map<uint64_t, RegKey*>* index);

    uint64_t nextId_ = 1;
    uint64_t savedNextId_ = 1;  // ids below it were in the store at the last save
    std::unique_ptr<RegKey> roots_[kRootCount];
    std::unordered_map<uint64_t, RegKey*> byId_;
    std::vector<uint64_t> touched_;  // keys whose record changed since the last save
    std::vector<uint64_t> removed_;  // saved keys removed since, with their subtrees
};

}  // namespace emu

#endif
