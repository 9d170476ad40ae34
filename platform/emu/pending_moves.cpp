// The moves recorded for the restart and the restart that carries them out.
#include "pending_moves.h"

#include "../platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "codepage.h"
#include "machine.h"
#include "paths.h"
#include "registry_store.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

constexpr char kSessionManager[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingMoves[] = "PendingFileRenameOperations";

std::vector<std::string> SplitMultiString(const std::vector<uint8_t>& data) {
    std::string text = Utf16leToUtf8(data.data(), data.size());
    std::vector<std::string> strings;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        strings.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) strings.push_back(text.substr(start));
    return strings;
}

// The recorded moves as source and destination pairs; the list ends at the
// first empty source.
std::vector<std::pair<std::string, std::string>> PendingPairs(const RegValue* value) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!value) return pairs;
    std::vector<std::string> strings = SplitMultiString(value->data);
    for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2) {
        pairs.emplace_back(strings[i], strings[i + 1]);
    }
    return pairs;
}

// "\??\" and the full path that Windows makes of the one given.
std::string RecordedPath(const char* given) { return "\\??\\" + FullWindowsPath(given); }

// Makes VTN2_MACHINE name ROOT for as long as it lives, so that Windows paths
// resolve on that machine.
class MachineScope {
public:
    explicit MachineScope(const fs::path& root) {
        if (const char* setting = std::getenv("VTN2_MACHINE")) saved_ = setting;
        ::setenv("VTN2_MACHINE", root.c_str(), 1);
    }
    ~MachineScope() {
        if (saved_) {
            ::setenv("VTN2_MACHINE", saved_->c_str(), 1);
        } else {
            ::unsetenv("VTN2_MACHINE");
        }
    }
    MachineScope(const MachineScope&) = delete;
    MachineScope& operator=(const MachineScope&) = delete;

private:
    std::optional<std::string> saved_;
};

// One recorded move; a note when it had to be skipped.
std::optional<std::string> CarryOut(const std::string& source, const std::string& destination,
                                    AttributeStore& attributes) {
    std::optional<fs::path> from = HostPath(source);
    std::error_code ec;
    if (!from || !fs::exists(fs::symlink_status(*from, ec))) {
        return "skipped " + source + ": it no longer exists";
    }
    if (destination.empty()) {
        if (!fs::remove(*from, ec)) return "could not delete " + source + ": " + ec.message();
        attributes.Forget(*from);
        return std::nullopt;
    }
    const bool replace = destination[0] == '!';
    const std::string named = replace ? destination.substr(1) : destination;
    std::optional<fs::path> to = HostPath(named);
    if (!to) return "skipped " + source + ": " + destination + " is on no drive of this machine";
    if (!replace && fs::exists(fs::symlink_status(*to, ec))) {
        return "skipped " + source + ": " + destination + " exists and is not to be replaced";
    }
    if (uint32_t error = RenameAsGiven(*from, *to, named, attributes)) {
        return "could not move " + source + " to " + destination + ": error " +
               std::to_string(error);
    }
    return std::nullopt;
}

}  // namespace

uint32_t RecordPendingMove(const char* source, const char* destination, uint32_t flags) {
    std::string from = RecordedPath(source);
    std::string to;
    if (destination && *destination) {
        uint32_t error = 0;
        if (!Resolve(destination, error)) return error;
        to = (flags & MOVEFILE_REPLACE_EXISTING ? "!" : "") + RecordedPath(destination);
    }
    return WithRegistry([&](Registry& registry, bool& commit) -> uint32_t {
        RegKey* key = registry.CreatePath(kSessionManager);
        std::vector<std::pair<std::string, std::string>> pairs =
            PendingPairs(key->Value(kPendingMoves));
        pairs.emplace_back(from, to);
        std::string text;
        for (const auto& [recordedFrom, recordedTo] : pairs)
            text += recordedFrom + '\0' + recordedTo + '\0';
        text += '\0';
        key->SetValue(RegValue{kPendingMoves, REG_MULTI_SZ, Utf8ToUtf16le(text)});
        commit = true;
        return 0;
    });
}

uint32_t RenameAsGiven(const fs::path& from, const fs::path& to, std::string_view given,
                       AttributeStore& attributes) {
    const std::string full = FullWindowsPath(given);
    const fs::path named = to.parent_path() / full.substr(full.find_last_of('\\') + 1);
    if (::rename(from.c_str(), to.c_str()) != 0) return ErrorFromErrno(errno);
    attributes.Move(from, to);
    // A second step, as the host's rename keeps a replaced file's name.
    if (named != to && ::rename(to.c_str(), named.c_str()) == 0) attributes.Move(to, named);
    return 0;
}

std::vector<std::string> RestartMachine(const fs::path& root) {
    MachineScope scope(root);
    RegistryTransaction transaction(root);
    // Volatile keys live only until the machine stops.
    transaction.registry().RemoveVolatile();
    RegKey* sessionManager = transaction.registry().FindPath(kSessionManager);
    std::vector<std::string> notes;
    if (!sessionManager || !sessionManager->Value(kPendingMoves)) {
        transaction.Commit();
        return notes;
    }
    AttributeStore attributes(root, AttributeStore::kWrite);
    for (const auto& [source, destination] : PendingPairs(sessionManager->Value(kPendingMoves))) {
        if (std::optional<std::string> note = CarryOut(source, destination, attributes))
            notes.push_back(*note);
    }
    attributes.Commit();
    sessionManager->DeleteValue(kPendingMoves);
    transaction.Commit();
    return notes;
}

}  // namespace emu
