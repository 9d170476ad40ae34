// The registry store's text, written and read: a snapshot, then a journal of
// transactions (the format: docs/emulated-machine.md, "The stores").
#include "registry_format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "hex.h"
#include "sddl.h"
#include "store_file.h"

namespace emu {

namespace {

constexpr char kFormatLine[] = "vtn2-registry 2";

// Key and value names go into the file percent-encoded, after a "=" that
// keeps an empty name a word of its own.
std::string Escape(std::string_view text) { return "=" + PercentEncode(text); }

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

void AppendKeyRecord(std::string& out, const RegKey& key) {
    out += "K " + std::to_string(key.id()) + ' ' +
           std::to_string(key.parent() ? key.parent()->id() : 0) + ' ' + Escape(key.name()) +
           (key.IsVolatile() ? " volatile\n" : "\n");
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
    if (phase_ == kHeader) return ReadHeader(line);
    if (phase_ == kNext) return ReadNext(fields);
    std::string_view tag = fields[0];
    if (tag == "S") return ReadSecurity(line);
    if (tag == "V") return ReadValue(fields);
    if (tag == "K") return ReadKey(fields);
    if (phase_ == kSnapshot) return ReadEnd(line, tag);
    if (tag == "D") return pending_.push_back(ParseRecord('D', fields));
    ReadCommit(line, fields);
}

void StoreReader::ReadHeader(std::string_view line) {
    if (line != kFormatLine)
        Corrupt("not a vtn2 registry: expected '" + std::string(kFormatLine) + "'");
    phase_ = kNext;
}

void StoreReader::ReadNext(const std::vector<std::string_view>& fields) {
    if (fields.size() != 2 || fields[0] != "next" || !ParseNumber(fields[1], registry_.nextId_))
        Corrupt("expected 'next ID'");
    phase_ = kSnapshot;
}

// A K record: in the snapshot a key of the tree at once, in the journal one
// of the transaction's changes, kept until its commit line.
void StoreReader::ReadKey(const std::vector<std::string_view>& fields) {
    Record record = ParseRecord('K', fields);
    if (phase_ == kSnapshot) return ApplyKey(record, false);
    pending_.push_back(std::move(record));
}

// What an S or V line belongs to: the snapshot's key just read, or the
// journal's K record just read.
StoreReader::KeyParts StoreReader::OpenKey(const char* what) {
    if (phase_ == kSnapshot) {
        if (!current_) Corrupt(std::string(what) + " before any key");
        return {&current_->sddl_, &current_->values_};
    }
    if (pending_.empty() || pending_.back().kind != 'K')
        Corrupt(std::string(what) + " outside a key record");
    return {&pending_.back().sddl, &pending_.back().values};
}

void StoreReader::ReadSecurity(std::string_view line) {
    std::string_view sddl = line.substr(std::min<size_t>(2, line.size()));
    if (sddl.empty()) Corrupt("empty security descriptor");
    try {
        ParseSddl(sddl);
    } catch (const std::invalid_argument& e) {
        Corrupt(std::string("bad security descriptor: ") + e.what());
    }
    KeyParts key = OpenKey("security descriptor");
    if (!key.sddl->empty()) Corrupt("second security descriptor for one key");
    *key.sddl = std::string(sddl);
}

void StoreReader::ReadValue(const std::vector<std::string_view>& fields) {
    RegValue value;
    if (fields.size() != 4 || !ParseNumber(fields[1], value.type) ||
        !Unescape(fields[2], value.name) || !ParseHexData(fields[3], value.data))
        Corrupt("expected 'V TYPE =NAME xHEX' with pairs of hex digits");
    KeyParts key = OpenKey("value");
    // A journal record's names are checked with the whole record (CheckValueNames).
    if (phase_ == kSnapshot) {
        for (const RegValue& other : *key.values) {
            if (NamesEqual(other.name, value.name))
                Corrupt("second value named '" + value.name + "'");
        }
    }
    key.values->push_back(std::move(value));
}

void StoreReader::ReadEnd(std::string_view line, std::string_view tag) {
    if (line != "end") Corrupt("unknown record '" + std::string(tag) + "'");
    for (size_t i = 0; i < Registry::kRootCount; ++i) {
        if (!rootSeen_[i])
            Corrupt(std::string("the root ") + Registry::RootName(i) + " is missing");
    }
    phase_ = kJournal;
    unitEnded_ = true;
}

void StoreReader::ReadCommit(std::string_view line, const std::vector<std::string_view>& fields) {
    uint64_t next = 0;
    if (fields[0] != "commit" || fields.size() != 2 || !ParseNumber(fields[1], next))
        Corrupt("unknown record '" + std::string(line.substr(0, 20)) + "'");
    Commit(next);
    unitEnded_ = true;
}

StoreReader::Record StoreReader::ParseRecord(char kind, const std::vector<std::string_view>& fields) {
    Record record;
    record.line = line_;
    record.kind = kind;
    if (kind == 'K') {
        record.isVolatile = fields.size() == 5 && fields[4] == "volatile";
        if (fields.size() != (record.isVolatile ? 5 : 4) || !ParseNumber(fields[1], record.id) ||
            !ParseNumber(fields[2], record.parent) || !Unescape(fields[3], record.name))
            Corrupt("expected 'K ID PARENT =NAME', then 'volatile' for a volatile key");
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
        uint64_t parent = existing->parent() ? existing->parent()->id() : 0;
        if (parent != record.parent || existing->name() != record.name)
            Corrupt(line, "key id " + std::to_string(record.id) + " changes its parent or name");
        if (existing->volatile_ != record.isVolatile)
            Corrupt(line, "key id " + std::to_string(record.id) + " changes its volatility");
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
        int index = Registry::RootIndex(record.name);
        if (journal || index < 0 || record.isVolatile ||
            record.name != Registry::RootName(static_cast<size_t>(index)))
            Corrupt(line, "unknown root '" + record.name + "'");
        if (rootSeen_[index]) Corrupt(line, "second root " + record.name);
        rootSeen_[index] = true;
        auto root = std::make_unique<RegKey>();
        root->name_ = record.name;
        root->id_ = record.id;
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
    if (parent->volatile_ && !record.isVolatile)
        Corrupt(line, "key id " + std::to_string(record.id) + " is stable below a volatile key");
    if (Registry::Depth(*parent) + 1 > Registry::MaxDepth(Registry::RootOf(*parent)))
        Corrupt(line, "key deeper than Windows allows");
    auto key = std::make_unique<RegKey>();
    key->name_ = std::move(record.name);
    key->id_ = record.id;
    key->volatile_ = record.isVolatile;
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
        if (!key || !key->parent())
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

}  // namespace emu
