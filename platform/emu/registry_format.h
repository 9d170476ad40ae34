// The registry store's text: a snapshot of the tree, then a journal of
// committed transactions (the format: docs/emulated-machine.md, "The
// stores"). Registry::Serialize, Registry::Changes and Registry::Parse are
// defined here too.
#ifndef VTN2_EMU_REGISTRY_FORMAT_H
#define VTN2_EMU_REGISTRY_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry_tree.h"
#include "store_file.h"

namespace emu {

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
        bool isVolatile = false;
        std::string name, sddl;
        std::vector<RegValue> values;
    };

    [[noreturn]] void Corrupt(const std::string& what) const { Corrupt(line_, what); }
    [[noreturn]] void Corrupt(int line, const std::string& what) const {
        throw StoreCorrupt(source_ + ":" + std::to_string(line) + ": " + what);
    }

    struct KeyParts {
        std::string* sddl;
        std::vector<RegValue>* values;
    };

    void Line(std::string_view line);
    // One for each kind of line.
    void ReadHeader(std::string_view line);
    void ReadNext(const std::vector<std::string_view>& fields);
    void ReadKey(const std::vector<std::string_view>& fields);
    void ReadSecurity(std::string_view line);
    void ReadValue(const std::vector<std::string_view>& fields);
    void ReadEnd(std::string_view line, std::string_view tag);
    void ReadCommit(std::string_view line, const std::vector<std::string_view>& fields);
    KeyParts OpenKey(const char* what);
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
    bool rootSeen_[Registry::kRootCount] = {};
    RegKey* current_ = nullptr;    // the snapshot's key being read
    std::vector<Record> pending_;  // the journal transaction being read
};

}  // namespace emu

#endif
