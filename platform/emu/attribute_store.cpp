#include "attribute_store.h"

#include "../platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "errors.h"
#include "hex.h"
#include "machine.h"

namespace emu {

namespace fs = std::filesystem;

namespace {

constexpr char kAttributesFormat[] = "vtn2-attributes 2";

std::string Key(const fs::path& host) {
    fs::path absolute = fs::absolute(host);
    if (!absolute.has_filename()) return fs::weakly_canonical(absolute).string();
    return (fs::weakly_canonical(absolute.parent_path()) / absolute.filename()).string();
}

bool Within(const std::string& key, const std::string& top) {
    return key.compare(0, top.size(), top) == 0 &&
           (key.size() == top.size() || key[top.size()] == '/');
}

}  // namespace

AttributeStore::AttributeStore(const fs::path& root, Mode mode)
    : root_(root),
      lock_(::open((root / "attributes.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (lock_.get() < 0) throw std::runtime_error("cannot lock " + (root / "attributes").string());
    while (::flock(lock_.get(), mode == kWrite ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
    Load(root / "attributes");
}

std::optional<uint32_t> AttributeStore::Get(const fs::path& host) const {
    auto it = entries_.find(Key(host));
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

void AttributeStore::Set(const fs::path& host, uint32_t attributes) {
    entries_[Key(host)] = attributes;
    changed_ = true;
}

void AttributeStore::Forget(const fs::path& host) { changed_ |= ForgetKey(Key(host)); }

void AttributeStore::Move(const fs::path& from, const fs::path& to) {
    std::string fromKey = Key(from), toKey = Key(to);
    if (fromKey == toKey) return;
    ForgetKey(toKey);
    std::map<std::string, uint32_t> moved;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (Within(it->first, fromKey)) {
            moved[toKey + it->first.substr(fromKey.size())] = it->second;
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    entries_.merge(moved);
    changed_ = true;
}

void AttributeStore::Commit() {
    if (!changed_) return;
    std::ostringstream text;
    text << kAttributesFormat << '\n';
    for (const auto& [key, attributes] : entries_) {
        struct stat info;
        if (::lstat(key.c_str(), &info) != 0) continue;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", attributes);
        text << hex << ' ' << PercentEncode(key) << '\n';
    }
    text << "end\n";
    ReplaceStore(root_ / "attributes", text.str());
    changed_ = false;
}

// "vtn2-attributes 2", a line "XXXXXXXX PATH" for each file (the
// attributes in hex, the path percent-encoded), then "end". Without its
// end the store was cut; nothing in it is passed over.
void AttributeStore::Load(const fs::path& store) {
    std::error_code ec;
    if (!fs::exists(store, ec)) return;  // no file has attributes of its own yet
    std::ifstream in(store, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + store.string());
    std::string line;
    int number = 0;
    bool ended = false;
    auto corrupt = [&](const std::string& what) {
        throw StoreCorrupt(store.string() + ":" + std::to_string(number) + ": " + what);
    };
    while (std::getline(in, line)) {
        ++number;
        if (in.eof()) corrupt("the line is cut short (no line end): the store was cut");
        if (ended) corrupt("text after the 'end' line");
        if (number == 1) {
            if (line != kAttributesFormat)
                corrupt("not a vtn2 attribute store: expected '" + std::string(kAttributesFormat) +
                        "'");
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        std::string path;
        uint64_t attributes = 0;
        bool hex = line.size() > 9 && line[8] == ' ' &&
                   ParseDigits(std::string_view(line).substr(0, 8), 16, 0xFFFFFFFF, attributes);
        if (!hex || line.find_first_of(" \r", 9) != std::string::npos ||
            !PercentDecode(std::string_view(line).substr(9), path) || path[0] != '/')
            corrupt("expected 8 hex digits, a blank and a percent-encoded absolute path");
        if (!entries_.emplace(path, static_cast<uint32_t>(attributes)).second)
            corrupt("a second line for " + path);
    }
    if (number == 0) ++number, corrupt("the store is empty");
    if (!ended) corrupt("the store ends before its 'end' line: the store was cut");
}

bool AttributeStore::ForgetKey(const std::string& top) {
    bool any = false;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (Within(it->first, top)) {
            it = entries_.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

uint32_t WithAttributes(const std::function<uint32_t(AttributeStore&)>& operation) {
    std::optional<fs::path> root = MachineRoot();
    if (!root) return ERROR_PATH_NOT_FOUND;
    try {
        AttributeStore store(*root, AttributeStore::kWrite);
        uint32_t error = operation(store);
        if (!error) store.Commit();
        return error;
    } catch (const StoreCorrupt& e) {
        ReportCorrupt(e);
        return kErrorFileCorrupt;
    } catch (const fs::filesystem_error& e) {
        return ErrorFromErrno(e.code().value());
    } catch (const std::exception&) {
        return ERROR_ACCESS_DENIED;
    }
}

std::optional<uint32_t> StoredAttributes(const fs::path& host, bool& unreadable) {
    std::optional<fs::path> root = MachineRoot();
    if (!root) return std::nullopt;
    try {
        return AttributeStore(*root, AttributeStore::kRead).Get(host);
    } catch (const StoreCorrupt& e) {
        ReportCorrupt(e);
        unreadable = true;
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace emu
