#include "registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "sddl.h"

#include "codepage.h"
#include "machine.h"

namespace emu {

namespace fs = std::filesystem;

// The store, as Serialize and the commits write it:
//
//   vtn2-registry 2
//   next ID                    the id the next new key gets
//   K ID PARENT =NAME          a key (PARENT 0 for a root), parents before children
//   S SDDL                     its security descriptor, when not the default
//   V TYPE =NAME xHEX          its values, in creation order
//   end                        the snapshot is whole
//
// then the journal: transactions of K records (a key new or rewritten whole,
// its S and V lines following) and "D ID" (a key removed with its subtree),
// each closed by "commit NEXT". A transaction without its commit line was
// cut short by its writer's death and never happened.

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
constexpr size_t kRootCount = sizeof kRoots / sizeof kRoots[0];
constexpr size_t kMaxLevels = 512;
constexpr char kFormatLine[] = "vtn2-registry 2";

// Key and value names go into the file percent-encoded, after a "=" that
// keeps an empty name a word of its own.
std::string Escape(std::string_view text) { return "=" + PercentEncode(text); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view token, std::string& out) {
    return !token.empty() && token[0] == '=' && PercentDecode(token.substr(1), out);
}

void AppendHexData(std::string& out, const std::vector<uint8_t>& data) {
    static const char hex[] = "0123456789abcdef";
    out += 'x';
    for (uint8_t b : data) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
}

bool ParseHexData(std::string_view token, std::vector<uint8_t>& out) {
    if (token.empty() || token[0] != 'x' || token.size() % 2 != 1) return false;
    out.clear();
    out.reserve(token.size() / 2);
    for (size_t i = 1; i < token.size(); i += 2) {
        int hi = HexDigit(token[i]), lo = HexDigit(token[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

template <class Number>
bool ParseNumber(std::string_view token, Number& out) {
    if (token.empty() || (token.size() > 1 && token[0] == '0')) return false;
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), out);
    return error == std::errc() && end == token.data() + token.size();
}

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

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const RegKey& RootOf(const RegKey& key) {
    const RegKey* at = &key;
    while (at->parent) at = at->parent;
    return *at;
}

}  // namespace

std::string PercentEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '%' || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool PercentDecode(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string FoldCase(std::string_view name) {
    std::string out(name);
    for (char& c : out) c = Fold(c);
    return out;
}

int CompareNames(std::string_view a, std::string_view b) {
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        auto x = static_cast<unsigned char>(Fold(a[i])), y = static_cast<unsigned char>(Fold(b[i]));
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
        if (index) index->erase(key->id);
        for (auto& sub : key->subkeys_) pending.push_back(std::move(sub));
        key->subkeys_.clear();
    }
}

// ---- keys ------------------------------------------------------------------

namespace {

struct NameLess {
    bool operator()(const std::unique_ptr<RegKey>& key, std::string_view name) const {
        return CompareNames(key->name, name) < 0;
    }
};

}  // namespace

RegKey* RegKey::Subkey(std::string_view name) const {
    auto it = std::lower_bound(subkeys_.begin(), subkeys_.end(), name, NameLess());
    return it != subkeys_.end() && CompareNames((*it)->name, name) == 0 ? it->get() : nullptr;
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
    registry_->touched_.push_back(id);
}

// ---- the tree --------------------------------------------------------------

Registry::Registry() {
    for (size_t i = 0; i < kRootCount; ++i) {
        roots_[i] = std::make_unique<RegKey>();
        roots_[i]->name = kRoots[i].longName;
        roots_[i]->id = nextId_++;
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
    byId_[key.id] = &key;
}

RegKey* Registry::Insert(RegKey& parent, std::unique_ptr<RegKey> key) {
    RegKey* raw = key.get();
    raw->parent = &parent;
    Index(*raw);
    auto at = std::lower_bound(parent.subkeys_.begin(), parent.subkeys_.end(),
                               std::string_view(raw->name), NameLess());
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
    int index = LookupRoot(root.name);
    return kMaxLevels - (index < 0 ? kMaxLevels : kRoots[index].levels);
}

size_t Registry::Depth(const RegKey& key) {
    size_t depth = 0;
    for (const RegKey* at = &key; at->parent; at = at->parent) ++depth;
    return depth;
}

RegKey* Registry::Create(RegKey& from, std::string_view path) {
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
            created->name = std::string(part);
            created->id = nextId_++;
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

void Registry::Remove(RegKey& key) {
    RegKey* parent = key.parent;
    if (!parent) return;  // the roots stay
    if (key.id < savedNextId_) removed_.push_back(key.id);
    auto at = std::lower_bound(parent->subkeys_.begin(), parent->subkeys_.end(),
                               std::string_view(key.name), NameLess());
    std::vector<std::unique_ptr<RegKey>> pending;
    pending.push_back(std::move(*at));
    parent->subkeys_.erase(at);
    Dismantle(pending, &byId_);
}

namespace {

std::string JoinPath(const RegKey& key, const char* rootName) {
    std::vector<const RegKey*> chain;
    for (const RegKey* at = &key; at->parent; at = at->parent) chain.push_back(at);
    std::string path = rootName;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += '\\';
        path += (*it)->name;
    }
    return path;
}

}  // namespace

std::string Registry::ShortPath(const RegKey& key) {
    return JoinPath(key, kRoots[LookupRoot(RootOf(key).name)].shortName);
}

std::string Registry::LongPath(const RegKey& key) { return JoinPath(key, RootOf(key).name.c_str()); }

std::vector<RegKey*> Registry::Roots() const {
    std::vector<RegKey*> out;
    for (const auto& root : roots_) out.push_back(root.get());
    return out;
}

// ---- text ------------------------------------------------------------------

namespace {

void AppendKeyRecord(std::string& out, const RegKey& key) {
    out += "K " + std::to_string(key.id) + ' ' + std::to_string(key.parent ? key.parent->id : 0) +
           ' ' + Escape(key.name) + '\n';
    if (!key.Sddl().empty()) out += "S " + key.Sddl() + '\n';
    for (const RegValue& value : key.Values()) {
        out += "V " + std::to_string(value.type) + ' ' + Escape(value.name) + ' ';
        AppendHexData(out, value.data);
        out += '\n';
    }
}

}  // namespace

std::string Registry::Serialize() const {
    std::string out = std::string(kFormatLine) + "\nnext " + std::to_string(nextId_) + '\n';
    std::vector<const RegKey*> pending;
    for (auto it = std::rbegin(roots_); it != std::rend(roots_); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
        const RegKey* key = pending.back();
        pending.pop_back();
        AppendKeyRecord(out, *key);
        for (size_t i = key->SubkeyCount(); i-- > 0;) pending.push_back(key->SubkeyAt(i));
    }
    return out + "end\n";
}

bool Registry::Changed() const {
    return !touched_.empty() || !removed_.empty() || nextId_ != savedNextId_;
}

std::string Registry::Changes() {
    std::string out;
    for (uint64_t id : removed_) out += "D " + std::to_string(id) + '\n';
    // A new key's parent is older than the key, or was there already.
    std::sort(touched_.begin(), touched_.end());
    for (uint64_t id : touched_) {
        if (RegKey* key = ById(id)) AppendKeyRecord(out, *key);
    }
    return out;
}

void Registry::MarkSaved() {
    for (uint64_t id : touched_) {
        if (RegKey* key = ById(id)) key->touched_ = false;
    }
    touched_.clear();
    removed_.clear();
    savedNextId_ = nextId_;
}

// Reads store text into a registry: the snapshot, then the journal's whole
// transactions. Anything that is not as the writer leaves it is corrupt.
class StoreReader {
public:
    enum Phase { kHeader, kNext, kSnapshot, kJournal };

    StoreReader(Registry& registry, std::string source, Phase phase, int linesBefore)
        : registry_(registry), source_(std::move(source)), phase_(phase), line_(linesBefore) {}

    // Reads text to its end. Returns how much of it forms whole units (the
    // snapshot, whole transactions); what follows is a torn transaction.
    size_t Read(std::string_view text);

    // A registry without even its roots, for Read to fill from a snapshot.
    static std::unique_ptr<Registry> Bare();

    int lines() const { return committedLines_; }
    size_t snapshotEnd() const { return snapshotEnd_; }
    bool torn() const { return torn_; }

private:
    struct Record {
        int line = 0;
        char kind = 0;  // 'K' or 'D'
        uint64_t id = 0, parent = 0;
        std::string name, sddl;
        std::vector<RegValue> values;
    };

    [[noreturn]] void Corrupt(const std::string& what) const { Corrupt(line_, what); }
    [[noreturn]] void Corrupt(int line, const std::string& what) const {
        throw StoreCorrupt(source_ + ":" + std::to_string(line) + ": " + what);
    }

    void Line(std::string_view line);
    Record ParseRecord(char kind, const std::vector<std::string_view>& fields);
    void ApplyKey(Record& record, bool journal);
    void CheckValueNames(const Record& record);
    void Commit(uint64_t next);

    Registry& registry_;
    std::string source_;
    Phase phase_;
    int line_;
    int committedLines_ = 0;
    size_t snapshotEnd_ = 0;
    bool unitEnded_ = false;  // the line just read closed a unit
    bool torn_ = false;
    bool rootSeen_[kRootCount] = {};
    RegKey* current_ = nullptr;    // the snapshot's key being read
    std::vector<Record> pending_;  // the journal transaction being read
};

size_t StoreReader::Read(std::string_view text) {
    size_t whole = 0;
    size_t start = 0;
    committedLines_ = line_;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            ++line_;
            if (phase_ != kJournal) Corrupt("the line is cut short (no line end): the store was cut");
            torn_ = true;  // a writer died in mid-line
            return whole;
        }
        ++line_;
        unitEnded_ = false;
        Line(text.substr(start, end - start));
        start = end + 1;
        if (unitEnded_) {
            whole = start;
            committedLines_ = line_;
            if (phase_ == kJournal && snapshotEnd_ == 0) snapshotEnd_ = start;
        }
    }
    if (phase_ == kHeader) Corrupt(1, "the store is empty: not a registry");
    if (phase_ != kJournal) {
        Corrupt(line_, "the store ends before its 'end' line: the store was cut");
    }
    torn_ = !pending_.empty();
    return whole;
}

void StoreReader::Line(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c == '\r') Corrupt("carriage return in the line (CRLF line ends?)");
        if (c < 0x20 || c > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", c);
            Corrupt("unexpected byte " + std::string(hex) + " at column " + std::to_string(i + 1));
        }
    }
    std::vector<std::string_view> fields;
    for (size_t start = 0; start <= line.size();) {
        size_t end = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    if (phase_ == kHeader) {
        if (line != kFormatLine)
            Corrupt("not a vtn2 registry: expected '" + std::string(kFormatLine) + "'");
        phase_ = kNext;
        return;
    }
    if (phase_ == kNext) {
        if (fields.size() != 2 || fields[0] != "next" || !ParseNumber(fields[1], registry_.nextId_))
            Corrupt("expected 'next ID'");
        return void(phase_ = kSnapshot);
    }
    std::string_view tag = fields[0];
    if (tag == "S") {
        std::string_view sddl = line.substr(std::min<size_t>(2, line.size()));
        if (sddl.empty()) Corrupt("empty security descriptor");
        try {
            ParseSddl(sddl);
        } catch (const std::invalid_argument& e) {
            Corrupt(std::string("bad security descriptor: ") + e.what());
        }
        if (phase_ == kSnapshot) {
            if (!current_) Corrupt("security descriptor before any key");
            if (!current_->Sddl().empty()) Corrupt("second security descriptor for one key");
            current_->sddl_ = std::string(sddl);
        } else {
            if (pending_.empty() || pending_.back().kind != 'K')
                Corrupt("security descriptor outside a key record");
            if (!pending_.back().sddl.empty()) Corrupt("second security descriptor for one key");
            pending_.back().sddl = std::string(sddl);
        }
        return;
    }
    if (tag == "V") {
        RegValue value;
        if (fields.size() != 4 || !ParseNumber(fields[1], value.type) ||
            !Unescape(fields[2], value.name) || !ParseHexData(fields[3], value.data))
            Corrupt("expected 'V TYPE =NAME xHEX' with pairs of hex digits");
        if (phase_ == kSnapshot) {
            if (!current_) Corrupt("value before any key");
            if (current_->Value(value.name)) Corrupt("second value named '" + value.name + "'");
            current_->values_.push_back(std::move(value));
        } else {
            if (pending_.empty() || pending_.back().kind != 'K')
                Corrupt("value outside a key record");
            pending_.back().values.push_back(std::move(value));
        }
        return;
    }
    if (tag == "K") {
        Record record = ParseRecord('K', fields);
        if (phase_ == kSnapshot) return ApplyKey(record, false);
        return pending_.push_back(std::move(record));
    }
    if (phase_ == kSnapshot) {
        if (line != "end") Corrupt("unknown record '" + std::string(tag) + "'");
        for (size_t i = 0; i < kRootCount; ++i) {
            if (!rootSeen_[i]) Corrupt(std::string("the root ") + kRoots[i].longName + " is missing");
        }
        phase_ = kJournal;
        unitEnded_ = true;
        return;
    }
    if (tag == "D") return pending_.push_back(ParseRecord('D', fields));
    uint64_t next = 0;
    if (tag != "commit" || fields.size() != 2 || !ParseNumber(fields[1], next))
        Corrupt("unknown record '" + std::string(line.substr(0, 20)) + "'");
    Commit(next);
    unitEnded_ = true;
}

StoreReader::Record StoreReader::ParseRecord(char kind, const std::vector<std::string_view>& fields) {
    Record record;
    record.line = line_;
    record.kind = kind;
    if (kind == 'K') {
        if (fields.size() != 4 || !ParseNumber(fields[1], record.id) ||
            !ParseNumber(fields[2], record.parent) || !Unescape(fields[3], record.name))
            Corrupt("expected 'K ID PARENT =NAME'");
    } else if (fields.size() != 2 || !ParseNumber(fields[1], record.id)) {
        Corrupt("expected 'D ID'");
    }
    if (record.id == 0) Corrupt("key id 0");
    return record;
}

void StoreReader::CheckValueNames(const Record& record) {
    std::vector<std::string> names;
    for (const RegValue& value : record.values) names.push_back(FoldCase(value.name));
    std::sort(names.begin(), names.end());
    auto twice = std::adjacent_find(names.begin(), names.end());
    if (twice != names.end()) Corrupt(record.line, "second value named '" + *twice + "'");
}

void StoreReader::ApplyKey(Record& record, bool journal) {
    int line = record.line;
    if (RegKey* existing = registry_.ById(record.id)) {
        if (!journal) Corrupt(line, "duplicate key id " + std::to_string(record.id));
        uint64_t parent = existing->parent ? existing->parent->id : 0;
        if (parent != record.parent || existing->name != record.name)
            Corrupt(line, "key id " + std::to_string(record.id) + " changes its parent or name");
        CheckValueNames(record);
        existing->sddl_ = std::move(record.sddl);
        existing->values_ = std::move(record.values);
        return;
    }
    if (record.id >= registry_.nextId_) {
        Corrupt(line, "key id " + std::to_string(record.id) + " is not below the next id " +
                          std::to_string(registry_.nextId_));
    }
    if (journal && record.id < registry_.savedNextId_)
        Corrupt(line, "key id " + std::to_string(record.id) + " reused");
    if (record.parent == 0) {
        int index = LookupRoot(record.name);
        if (journal || index < 0 || record.name != kRoots[index].longName)
            Corrupt(line, "unknown root '" + record.name + "'");
        if (rootSeen_[index]) Corrupt(line, "second root " + record.name);
        rootSeen_[index] = true;
        auto root = std::make_unique<RegKey>();
        root->name = record.name;
        root->id = record.id;
        registry_.Index(*root);
        registry_.roots_[index] = std::move(root);
        current_ = registry_.roots_[index].get();
        return;
    }
    RegKey* parent = registry_.ById(record.parent);
    if (!parent) {
        Corrupt(line, "the parent " + std::to_string(record.parent) + " of key id " +
                          std::to_string(record.id) + " is missing");
    }
    if (record.name.empty() || !KeyNameFits(record.name) ||
        record.name.find('\\') != std::string::npos)
        Corrupt(line, "bad key name '" + record.name + "'");
    if (parent->Subkey(record.name)) Corrupt(line, "second key named '" + record.name + "'");
    if (Registry::Depth(*parent) + 1 > Registry::MaxDepth(RootOf(*parent)))
        Corrupt(line, "key deeper than Windows allows");
    auto key = std::make_unique<RegKey>();
    key->name = std::move(record.name);
    key->id = record.id;
    key->sddl_ = std::move(record.sddl);
    if (journal) CheckValueNames(record);
    key->values_ = std::move(record.values);
    current_ = registry_.Insert(*parent, std::move(key));
}

void StoreReader::Commit(uint64_t next) {
    uint64_t before = registry_.nextId_;
    if (next < before) {
        Corrupt("the next id " + std::to_string(next) + " is below the one before, " +
                std::to_string(before));
    }
    registry_.savedNextId_ = before;
    registry_.nextId_ = next;
    for (Record& record : pending_) {
        if (record.kind == 'K') {
            ApplyKey(record, true);
            continue;
        }
        RegKey* key = registry_.ById(record.id);
        if (!key || !key->parent)
            Corrupt(record.line, "removes key id " + std::to_string(record.id) + ", not there");
        registry_.Remove(*key);
    }
    pending_.clear();
    registry_.MarkSaved();
}

std::unique_ptr<Registry> StoreReader::Bare() {
    auto registry = std::make_unique<Registry>();
    std::vector<std::unique_ptr<RegKey>> roots;
    for (auto& root : registry->roots_) roots.push_back(std::move(root));
    Registry::Dismantle(roots, &registry->byId_);
    return registry;
}

std::unique_ptr<Registry> Registry::Parse(const std::string& text, const std::string& source) {
    std::unique_ptr<Registry> registry = StoreReader::Bare();
    StoreReader(*registry, source, StoreReader::kHeader, 0).Read(text);
    registry->MarkSaved();
    return registry;
}

// ---- the store on disk -----------------------------------------------------

void ReportCorrupt(const StoreCorrupt& error) {
    static std::mutex lock;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> hold(lock);
    if (told.insert(error.what()).second)
        std::fprintf(stderr, "vtn2: %s (the store is corrupt: mend it or make the machine again)\n",
                     error.what());
}

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

void WriteAll(int fd, std::string_view text, off_t at, const fs::path& path) {
    while (!text.empty()) {
        ssize_t put = ::pwrite(fd, text.data(), text.size(), at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
        text.remove_prefix(static_cast<size_t>(put));
        at += put;
    }
}

std::string ReadAll(int fd, off_t from, off_t to, const fs::path& path) {
    std::string text(static_cast<size_t>(to - from), '\0');
    size_t done = 0;
    while (done < text.size()) {
        ssize_t got = ::pread(fd, text.data() + done, text.size() - done, from + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    text.resize(done);
    return text;
}

bool SameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int CountLines(std::string_view text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The registry this process has loaded, kept between transactions. The
// store's file stays open, so that its inode is not reused while it is
// remembered; the lock file stays open too.
struct Cache {
    std::mutex mutex;
    fs::path root;
    Fd lock;
    Fd file;
    struct stat seen {};  // the file as last read or written
    off_t validEnd = 0;   // the end of the last whole transaction
    off_t snapshotEnd = 0;
    int validLines = 0;
    bool torn = false;  // something after validEnd: a transaction cut short
    std::unique_ptr<Registry> registry;

    fs::path Store() const { return root / "registry"; }

    void Drop() {
        registry.reset();
        file.Reset();
    }

    void Load() {
        Drop();
        fs::path store = Store();
        int fd = ::open(store.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = ::open(store.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error("cannot read " + store.string() + ": " + std::strerror(errno));
        file.Reset(fd);
        if (::fstat(fd, &seen) != 0) throw std::runtime_error("cannot read " + store.string());
        std::string text = ReadAll(fd, 0, seen.st_size, store);
        std::unique_ptr<Registry> loaded = StoreReader::Bare();
        StoreReader reader(*loaded, store.string(), StoreReader::kHeader, 0);
        validEnd = static_cast<off_t>(reader.Read(text));
        text = std::string();
        loaded->MarkSaved();
        snapshotEnd = static_cast<off_t>(reader.snapshotEnd());
        validLines = reader.lines();
        torn = reader.torn();
        registry = std::move(loaded);
    }

    // Brings the loaded registry up to what the store holds now: nothing to
    // do when nobody wrote, the appended transactions when others committed,
    // a whole load when the store was replaced or edited by hand.
    void Refresh() {
        struct stat now {};
        if (::stat(Store().c_str(), &now) != 0)
            throw std::runtime_error("cannot read " + Store().string() + ": " + std::strerror(errno));
        if (registry && SameVersion(now, seen)) return;
        const bool appended = registry && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino &&
                              now.st_size > seen.st_size;
        if (!appended) return Load();
        try {
            std::string text = ReadAll(file.get(), validEnd, now.st_size, Store());
            StoreReader reader(*registry, Store().string(), StoreReader::kJournal, validLines);
            validEnd += static_cast<off_t>(reader.Read(text));
            validLines = reader.lines();
            torn = reader.torn();
            if (::fstat(file.get(), &seen) != 0) throw std::runtime_error("cannot read " + Store().string());
        } catch (...) {
            Drop();
            throw;
        }
    }

    // Writes the whole registry as a new snapshot, in place of the store.
    void Compact() {
        std::string text = registry->Serialize();
        fs::path store = Store();
        fs::path temp = store;
        temp += ".tmp." + std::to_string(::getpid());
        Fd fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) throw std::runtime_error("cannot write " + temp.string());
        try {
            WriteAll(fd.get(), text, 0, temp);
            if (::rename(temp.c_str(), store.c_str()) != 0)
                throw std::runtime_error("cannot replace " + store.string() + ": " + std::strerror(errno));
        } catch (...) {
            ::unlink(temp.c_str());
            throw;
        }
        file.Reset(fd.Release());
        ::fstat(file.get(), &seen);
        validEnd = snapshotEnd = static_cast<off_t>(text.size());
        validLines = CountLines(text);
        torn = false;
    }

    void Append(const std::string& text) {
        try {
            WriteAll(file.get(), text, validEnd, Store());
        } catch (...) {
            if (::ftruncate(file.get(), validEnd) != 0) {
                // The next writer finds the cut transaction and ignores it.
            }
            throw;
        }
        ::fstat(file.get(), &seen);
        validEnd += static_cast<off_t>(text.size());
        validLines += CountLines(text);
    }
};

Cache& TheCache() {
    static Cache* cache = new Cache;  // outlives every static destructor that may still call in
    return *cache;
}

thread_local bool inTransaction = false;

std::unique_lock<std::mutex> EnterTransaction() {
    if (inTransaction) throw std::logic_error("a registry transaction inside another");
    return std::unique_lock<std::mutex>(TheCache().mutex);
}

}  // namespace

RegistryTransaction::Lock::~Lock() {
    if (fd >= 0) ::flock(fd, LOCK_UN);
    inTransaction = false;
}

RegistryTransaction::RegistryTransaction(const fs::path& root) : inProcess_(EnterTransaction()) {
    inTransaction = true;
    lock_.fd = -1;
    Cache& cache = TheCache();
    if (!fs::is_regular_file(root / "registry"))
        throw std::runtime_error("no registry in " + root.string());
    fs::path lockPath = root / "registry.lock";
    struct stat held {}, named {};
    // A machine made again where one was removed has a lock file of its own.
    const bool sameLock = cache.lock.get() >= 0 && ::fstat(cache.lock.get(), &held) == 0 &&
                          ::stat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                          held.st_ino == named.st_ino;
    if (cache.root != root || !sameLock) {
        cache.Drop();
        cache.lock.Reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        cache.root = root;
        if (cache.lock.get() < 0) {
            cache.root.clear();
            throw std::runtime_error("cannot lock the registry in " + root.string());
        }
    }
    while (::flock(cache.lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) throw std::runtime_error("cannot lock the registry in " + root.string());
    }
    lock_.fd = cache.lock.get();
    cache.Refresh();
}

RegistryTransaction::~RegistryTransaction() {
    Cache& cache = TheCache();
    // A change that was not committed must not outlive the transaction.
    if (!committed_ && cache.registry && cache.registry->Changed()) cache.Drop();
}

Registry& RegistryTransaction::registry() { return *TheCache().registry; }

void RegistryTransaction::Commit() {
    Cache& cache = TheCache();
    Registry& registry = *cache.registry;
    committed_ = true;
    if (!registry.Changed()) return;
    try {
        std::string text = registry.Changes() + "commit " + std::to_string(registry.NextId()) + "\n";
        off_t journal = cache.validEnd - cache.snapshotEnd + static_cast<off_t>(text.size());
        if (cache.torn || journal > cache.snapshotEnd) {
            cache.Compact();
        } else {
            cache.Append(text);
        }
        registry.MarkSaved();
    } catch (...) {
        cache.Drop();
        throw;
    }
}

void RegistryTransaction::Create(const fs::path& root, const Registry& registry) {
    fs::path store = root / "registry";
    fs::path temp = store;
    temp += ".tmp." + std::to_string(::getpid());
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw std::runtime_error("cannot write " + temp.string());
    WriteAll(fd.get(), registry.Serialize(), 0, temp);
    fs::rename(temp, store);
}

uint32_t WithRegistry(const std::function<uint32_t(Registry&, bool&)>& operation) {
    constexpr uint32_t kErrorPathNotFound = 3, kErrorRegistryCorrupt = 1015;
    std::optional<fs::path> root = MachineRoot();
    if (!root) return kErrorPathNotFound;
    try {
        RegistryTransaction transaction(*root);
        bool commit = false;
        uint32_t status = operation(transaction.registry(), commit);
        if (commit) transaction.Commit();
        return status;
    } catch (const StoreCorrupt& e) {
        ReportCorrupt(e);
        return kErrorRegistryCorrupt;
    } catch (const std::exception&) {
        return kErrorRegistryCorrupt;
    }
}

std::vector<uint8_t> ToUtf16(std::string_view text) { return Utf8ToUtf16le(text); }

std::string FromUtf16(const uint8_t* data, size_t bytes) { return Utf16leToUtf8(data, bytes); }

}  // namespace emu
