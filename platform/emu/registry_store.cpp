#include "registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "codepage.h"

namespace emu {

namespace fs = std::filesystem;

namespace {

struct RootName {
    const char* longName;
    const char* shortName;
};

constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"},  {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_USERS", "HKU"},
    {"HKEY_CURRENT_CONFIG", "HKCC"},
};

constexpr size_t kMaxKeyName = 255;

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

std::string HexData(const std::vector<uint8_t>& data) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "x";
    for (uint8_t b : data) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool ParseHexData(std::string_view token, std::vector<uint8_t>& out) {
    if (token.empty() || token[0] != 'x' || token.size() % 2 != 1) return false;
    out.clear();
    for (size_t i = 1; i < token.size(); i += 2) {
        int hi = HexDigit(token[i]), lo = HexDigit(token[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
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

const RootName* LookupRoot(std::string_view name) {
    for (const RootName& root : kRoots) {
        if (NamesEqual(name, root.longName) || NamesEqual(name, root.shortName)) return &root;
    }
    return nullptr;
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
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool NamesEqual(std::string_view a, std::string_view b) { return FoldCase(a) == FoldCase(b); }

RegKey* RegKey::Subkey(std::string_view name) const {
    auto it = subkeys.find(FoldCase(name));
    return it == subkeys.end() ? nullptr : it->second.get();
}

RegValue* RegKey::Value(std::string_view name) {
    for (RegValue& value : values) {
        if (NamesEqual(value.name, name)) return &value;
    }
    return nullptr;
}

const RegValue* RegKey::Value(std::string_view name) const {
    return const_cast<RegKey*>(this)->Value(name);
}

void RegKey::SetValue(RegValue value) {
    if (RegValue* existing = Value(value.name)) {
        existing->type = value.type;
        existing->data = std::move(value.data);
    } else {
        values.push_back(std::move(value));
    }
}

bool RegKey::DeleteValue(std::string_view name) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const RegValue& v) { return NamesEqual(v.name, name); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

std::vector<RegKey*> RegKey::Subkeys() const {
    std::vector<RegKey*> out;
    for (const auto& [folded, key] : subkeys) out.push_back(key.get());
    return out;
}

Registry::Registry() {
    for (const RootName& root : kRoots) {
        auto key = std::make_unique<RegKey>();
        key->name = root.longName;
        key->id = nextId_++;
        byId_[key->id] = key.get();
        roots_[FoldCase(root.longName)] = std::move(key);
    }
}

RegKey* Registry::Root(std::string_view name) {
    const RootName* root = LookupRoot(name);
    if (!root) return nullptr;
    return roots_.at(FoldCase(root->longName)).get();
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

RegKey* Registry::Create(RegKey& from, std::string_view path) {
    std::vector<std::string_view> parts = SplitPath(path);
    for (std::string_view part : parts) {
        if (part.size() > kMaxKeyName) return nullptr;
    }
    RegKey* key = &from;
    for (std::string_view part : parts) {
        RegKey* next = key->Subkey(part);
        if (!next) {
            auto created = std::make_unique<RegKey>();
            created->name = std::string(part);
            created->id = nextId_++;
            created->parent = key;
            next = created.get();
            byId_[next->id] = next;
            key->subkeys[FoldCase(part)] = std::move(created);
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

void Registry::Unindex(RegKey& key) {
    byId_.erase(key.id);
    for (auto& [folded, sub] : key.subkeys) Unindex(*sub);
}

void Registry::Index(RegKey& key) {
    byId_[key.id] = &key;
    for (auto& [folded, sub] : key.subkeys) {
        sub->parent = &key;
        Index(*sub);
    }
}

void Registry::Remove(RegKey& key) {
    if (!key.parent) return;  // the roots stay
    Unindex(key);
    key.parent->subkeys.erase(FoldCase(key.name));
}

std::string Registry::ShortPath(const RegKey& key) {
    if (!key.parent) return LookupRoot(key.name)->shortName;
    return ShortPath(*key.parent) + "\\" + key.name;
}

std::string Registry::LongPath(const RegKey& key) {
    if (!key.parent) return key.name;
    return LongPath(*key.parent) + "\\" + key.name;
}

std::vector<RegKey*> Registry::Roots() const {
    std::vector<RegKey*> out;
    for (const RootName& root : kRoots) out.push_back(roots_.at(FoldCase(root.longName)).get());
    return out;
}

namespace {

void SerializeKey(const RegKey& key, int depth, std::ostringstream& out) {
    out << "K " << depth << ' ' << key.id << ' ' << Escape(key.name) << '\n';
    if (!key.sddl.empty()) out << "S " << key.sddl << '\n';
    for (const RegValue& value : key.values) {
        out << "V " << value.type << ' ' << Escape(value.name) << ' ' << HexData(value.data)
            << '\n';
    }
    for (const auto& [folded, sub] : key.subkeys) SerializeKey(*sub, depth + 1, out);
}

[[noreturn]] void Malformed(int line, const std::string& why) {
    throw std::runtime_error("registry line " + std::to_string(line) + ": " + why);
}

}  // namespace

std::string Registry::Serialize() const {
    std::ostringstream out;
    out << "vtn2-registry 1\nnext " << nextId_ << '\n';
    for (RegKey* root : Roots()) SerializeKey(*root, 0, out);
    return out.str();
}

Registry Registry::Parse(const std::string& text) {
    Registry registry;
    registry.byId_.clear();
    registry.roots_.clear();
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::vector<RegKey*> stack;  // the open key at each depth
    while (std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::string tag;
        fields >> tag;
        if (number == 1) {
            if (line != "vtn2-registry 1") Malformed(number, "not a vtn2 registry");
            continue;
        }
        if (tag == "next") {
            if (!(fields >> registry.nextId_)) Malformed(number, "bad next id");
        } else if (tag == "K") {
            size_t depth = 0;
            uint64_t id = 0;
            std::string token, name;
            if (!(fields >> depth >> id >> token) || !Unescape(token, name))
                Malformed(number, "bad key");
            if (depth > stack.size()) Malformed(number, "key without parent");
            stack.resize(depth);
            auto key = std::make_unique<RegKey>();
            key->name = name;
            key->id = id;
            RegKey* raw = key.get();
            if (depth == 0) {
                if (!LookupRoot(name)) Malformed(number, "unknown root " + name);
                registry.roots_[FoldCase(LookupRoot(name)->longName)] = std::move(key);
            } else {
                raw->parent = stack.back();
                stack.back()->subkeys[FoldCase(name)] = std::move(key);
            }
            stack.push_back(raw);
        } else if (tag == "S") {
            if (stack.empty()) Malformed(number, "security without key");
            std::getline(fields >> std::ws, stack.back()->sddl);
        } else if (tag == "V") {
            RegValue value;
            std::string nameToken, dataToken;
            if (stack.empty() || !(fields >> value.type >> nameToken >> dataToken) ||
                !Unescape(nameToken, value.name) || !ParseHexData(dataToken, value.data))
                Malformed(number, "bad value");
            stack.back()->values.push_back(std::move(value));
        } else if (!tag.empty()) {
            Malformed(number, "unknown record " + tag);
        }
    }
    if (number == 0) Malformed(1, "empty");
    for (const RootName& root : kRoots) {
        std::string folded = FoldCase(root.longName);
        if (!registry.roots_.count(folded)) {
            auto key = std::make_unique<RegKey>();
            key->name = root.longName;
            key->id = registry.nextId_++;
            registry.roots_[folded] = std::move(key);
        }
    }
    for (auto& [folded, root] : registry.roots_) registry.Index(*root);
    return registry;
}

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAtomically(const fs::path& path, const std::string& text) {
    fs::path temp = path;
    temp += ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + temp.string());
    }
    fs::rename(temp, path);
}

}  // namespace

RegistryTransaction::RegistryTransaction(const fs::path& root) : root_(root) {
    fs::path store = root / "registry";
    if (!fs::is_regular_file(store)) throw std::runtime_error("no registry in " + root.string());
    lockFd_ = open((root / "registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) throw std::runtime_error("cannot lock the registry in " + root.string());
    while (flock(lockFd_, LOCK_EX) != 0 && errno == EINTR) {
    }
    registry_ = Registry::Parse(ReadFile(store));
}

RegistryTransaction::~RegistryTransaction() {
    if (lockFd_ >= 0) close(lockFd_);  // closing releases the lock
}

void RegistryTransaction::Commit() { WriteAtomically(root_ / "registry", registry_.Serialize()); }

void RegistryTransaction::Create(const fs::path& root, const Registry& registry) {
    WriteAtomically(root / "registry", registry.Serialize());
}

std::vector<uint8_t> ToUtf16(std::string_view text) { return Utf8ToUtf16le(text); }

std::string FromUtf16(const uint8_t* data, size_t bytes) { return Utf16leToUtf8(data, bytes); }

}  // namespace emu
