#include "registry_tree.h"

#include <algorithm>
#include <utility>

#include "ascii.h"
#include "codepage.h"

namespace emu {

namespace {

struct RootName {
    const char* longName;
    const char* shortName;
    size_t levels;  // where Windows keeps it, counted from \REGISTRY
};

constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", 4},  {"HKEY_CURRENT_USER", "HKCU", 3},
    {"HKEY_LOCAL_MACHINE", "HKLM", 2}, {"HKEY_USERS", "HKU", 2},
    {"HKEY_CURRENT_CONFIG", "HKCC", 6},
};
constexpr size_t kRootCount = Registry::kRootCount;
static_assert(sizeof kRoots / sizeof kRoots[0] == kRootCount);
constexpr size_t kMaxLevels = 512;

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

int LookupRoot(std::string_view name) {
    for (size_t i = 0; i < kRootCount; ++i) {
        if (NamesEqual(name, kRoots[i].longName) || NamesEqual(name, kRoots[i].shortName))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

std::string FoldCase(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = AsciiUpper(c);
    return out;
}

int CompareNames(std::string_view a, std::string_view b) {
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        auto x = static_cast<unsigned char>(AsciiUpper(a[i])),
             y = static_cast<unsigned char>(AsciiUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool KeyNameFits(std::string_view name) {
    // Each UTF-8 byte gives at most one UTF-16 unit: short names need no count.
    return name.size() <= kMaxKeyName || Utf8ToUtf16le(name).size() / 2 <= kMaxKeyName;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

// Owned keys taken apart one at a time, so that no destructor recurses
// through a deep tree.
void Registry::Dismantle(std::vector<std::unique_ptr<RegKey>>& pending,
                         std::unordered_map<uint64_t, RegKey*>* index) {
    while (!pending.empty()) {
        std::unique_ptr<RegKey> key = std::move(pending.back());
        pending.pop_back();
        if (index) index->erase(key->id());
        for (auto& sub : key->subkeys_) pending.push_back(std::move(sub));
        key->subkeys_.clear();
    }
}

// ---- keys ------------------------------------------------------------------

namespace {

struct NameLess {
    bool operator()(const std::unique_ptr<RegKey>& key, std::string_view name) const {
        return CompareNames(key->name(), name) < 0;
    }
};

}  // namespace

bool IsStringType(uint32_t type) {
    constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegMultiSz = 7;
    return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string AnsiData(const RegValue& value) {
    if (IsStringType(value.type)) return Utf16leToUtf8(value.data.data(), value.data.size());
    return std::string(value.data.begin(), value.data.end());
}

RegKey* RegKey::Subkey(std::string_view name) const {
    auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name, NameLess());
    return it != subkeys_.end() && CompareNames((*it)->name(), name) == 0 ? it->get() : nullptr;
}

std::vector<RegKey*> RegKey::Subkeys() const {
    std::vector<RegKey*> out;
    out.reserve(subkeys_.size());
    for (const auto& key : subkeys_) out.push_back(key.get());
    return out;
}

const RegValue* RegKey::Value(std::string_view name) const {
    for (const RegValue& value : values_) {
        if (NamesEqual(value.name, name)) return &value;
    }
    return nullptr;
}

void RegKey::SetValue(RegValue value) {
    Touch();
    for (RegValue& existing : values_) {
        if (NamesEqual(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    values_.push_back(std::move(value));
}

bool RegKey::DeleteValue(std::string_view name) {
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const RegValue& v) { return NamesEqual(v.name, name); });
    if (it == values_.end()) return false;
    Touch();
    values_.erase(it);
    return true;
}

void RegKey::SetSddl(std::string sddl) {
    Touch();
    sddl_ = std::move(sddl);
}

void RegKey::Touch() {
    if (!registry_ || touched_) return;
    touched_ = true;
    registry_->touched_.push_back(id_);
}

// ---- the tree --------------------------------------------------------------

Registry::Registry() {
    for (size_t i = 0; i < kRootCount; ++i) {
        roots_[i] = std::make_unique<RegKey>();
        roots_[i]->name_ = kRoots[i].longName;
        roots_[i]->id_ = nextId_++;
        Index(*roots_[i]);
    }
    savedNextId_ = nextId_;
}

Registry::~Registry() {
    std::vector<std::unique_ptr<RegKey>> pending;
    for (auto& root : roots_) {
        if (root) pending.push_back(std::move(root));
    }
    Dismantle(pending, nullptr);
}

void Registry::Index(RegKey& key) {
    key.registry_ = this;
    byId_[key.id()] = &key;
}

RegKey* Registry::Insert(RegKey& parent, std::unique_ptr<RegKey> key) {
    RegKey* raw = key.get();
    raw->parent_ = &parent;
    Index(*raw);
    auto at = std::lower_bound(parent.subkeys_.begin(), parent.subkeys_.end(),
                               std::string_view(raw->name()), NameLess());
    parent.subkeys_.insert(at, std::move(key));
    // The parent owns the key now.
    // cppcheck-suppress returnDanglingLifetime
    return raw;
}

RegKey* Registry::Root(std::string_view name) {
    int index = LookupRoot(name);
    return index < 0 ? nullptr : roots_[index].get();
}

RegKey* Registry::ById(uint64_t id) {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

RegKey* Registry::Find(RegKey& from, std::string_view path) {
    RegKey* key = &from;
    for (std::string_view part : SplitPath(path)) {
        key = key->Subkey(part);
        if (!key) return nullptr;
    }
    return key;
}

RegKey* Registry::FindPath(std::string_view fullPath) {
    size_t slash = fullPath.find('\\');
    RegKey* root = Root(fullPath.substr(0, slash));
    if (!root) return nullptr;
    if (slash == std::string_view::npos) return root;
    return Find(*root, fullPath.substr(slash + 1));
}

size_t Registry::MaxDepth(const RegKey& root) {
    int index = LookupRoot(root.name());
    return kMaxLevels - (index < 0 ? kMaxLevels : kRoots[index].levels);
}

size_t Registry::Depth(const RegKey& key) {
    size_t depth = 0;
    for (const RegKey* at = &key; at->parent(); at = at->parent()) ++depth;
    return depth;
}

RegKey* Registry::Create(RegKey& from, std::string_view path, bool isVolatile) {
    std::vector<std::string_view> parts = SplitPath(path);
    for (std::string_view part : parts) {
        if (!KeyNameFits(part)) return nullptr;
    }
    // What exists along the path lies within the limit already.
    if (Depth(from) + parts.size() > MaxDepth(RootOf(from))) return nullptr;
    RegKey* key = &from;
    for (std::string_view part : parts) {
        RegKey* next = key->Subkey(part);
        if (!next) {
            auto created = std::make_unique<RegKey>();
            created->name_ = std::string(part);
            created->id_ = nextId_++;
            created->volatile_ = isVolatile;
            next = Insert(*key, std::move(created));
            next->Touch();
        }
        key = next;
    }
    return key;
}

RegKey* Registry::CreatePath(std::string_view fullPath) {
    size_t slash = fullPath.find('\\');
    RegKey* root = Root(fullPath.substr(0, slash));
    if (!root) return nullptr;
    if (slash == std::string_view::npos) return root;
    return Create(*root, fullPath.substr(slash + 1));
}

void Registry::RemoveVolatile() {
    std::vector<RegKey*> found, pending;
    for (const auto& root : roots_) pending.push_back(root.get());
    while (!pending.empty()) {
        RegKey* key = pending.back();
        pending.pop_back();
        if (key->volatile_) {
            found.push_back(key);  // with all below it, volatile too
            continue;
        }
        for (RegKey* subkey : key->Subkeys()) pending.push_back(subkey);
    }
    for (RegKey* key : found) Remove(*key);
}

void Registry::Remove(RegKey& key) {
    RegKey* parent = key.parent();
    if (!parent) return;  // the roots stay
    if (key.id() < savedNextId_) removed_.push_back(key.id());
    auto at = std::lower_bound(parent->subkeys_.begin(), parent->subkeys_.end(),
                               std::string_view(key.name()), NameLess());
    std::vector<std::unique_ptr<RegKey>> pending;
    pending.push_back(std::move(*at));
    parent->subkeys_.erase(at);
    Dismantle(pending, &byId_);
}

namespace {

std::string JoinPath(const RegKey& key, const char* rootName) {
    std::vector<const RegKey*> chain;
    for (const RegKey* at = &key; at->parent(); at = at->parent()) chain.push_back(at);
    std::string path = rootName;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += '\\';
        path += (*it)->name();
    }
    return path;
}

}  // namespace

std::string Registry::ShortPath(const RegKey& key) {
    return JoinPath(key, kRoots[LookupRoot(RootOf(key).name())].shortName);
}

std::string Registry::LongPath(const RegKey& key) { return JoinPath(key, RootOf(key).name().c_str()); }

bool Registry::Changed() const {
    return !touched_.empty() || !removed_.empty() || nextId_ != savedNextId_;
}

void Registry::MarkSaved() {
    for (uint64_t id : touched_) {
        if (RegKey* key = ById(id)) key->touched_ = false;
    }
    touched_.clear();
    removed_.clear();
    savedNextId_ = nextId_;
}

int Registry::RootIndex(std::string_view name) { return LookupRoot(name); }

const char* Registry::RootName(size_t index) { return kRoots[index].longName; }

const RegKey& Registry::RootOf(const RegKey& key) {
    const RegKey* at = &key;
    while (at->parent()) at = at->parent();
    return *at;
}

}  // namespace emu
