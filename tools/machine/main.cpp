// vtn2-machine: makes emulated machines and moves registry keys in and out.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../platform/emu/leftovers.h"
#include "../../platform/emu/machine.h"
#include "../../platform/emu/pending_moves.h"
#include "../../platform/emu/registry_store.h"
#include "../../platform/emu/key_security.h"
#include "regfile.h"

namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

fs::path MachineArgument(const std::string& root) {
    if (!emu::IsMachine(root)) {
        throw std::runtime_error(root +
                                 " is not a machine (no drive_c or registry); make one with "
                                 "'vtn2-machine init " + root + "'");
    }
    emu::SweepLeftoversOnce(root);
    return root;
}

int Init(const Arguments& args) {
    InitMachine(args[0]);
    return 0;
}

int RegImport(const Arguments& args) {
    fs::path root = MachineArgument(args[0]);
    std::ifstream in(args[1], std::ios::binary);
    if (!in || fs::is_directory(args[1])) throw std::runtime_error("cannot read " + args[1]);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    emu::RegistryTransaction transaction(root);
    ImportRegText(transaction.registry(), bytes, args[1]);
    transaction.Commit();
    return 0;
}

int RegExport(const Arguments& args) {
    fs::path root = MachineArgument(args[0]);
    emu::RegistryTransaction transaction(root);
    const emu::RegKey* key = transaction.registry().FindPath(args[1]);
    if (!key) throw std::runtime_error("no key " + args[1] + " in " + args[0]);
    std::string text = ExportRegText(transaction.registry(), *key);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        throw std::runtime_error("cannot write to standard output");
    }
    return 0;
}

int RegSddl(const Arguments& args) {
    fs::path root = MachineArgument(args[0]);
    if (args.size() == 3) {
        emu::WriteKeySddl(root, args[1], args[2]);
        return 0;
    }
    std::string text = emu::ReadKeySddl(root, args[1]) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        throw std::runtime_error("cannot write to standard output");
    }
    return 0;
}

int Restart(const Arguments& args) {
    fs::path root = MachineArgument(args[0]);
    for (const std::string& note : emu::RestartMachine(root)) {
        std::fprintf(stderr, "vtn2-machine: restart: %s\n", note.c_str());
    }
    return 0;
}

struct Command {
    const char* name;  // the words that select it
    const char* arguments;
    size_t minArguments;
    size_t maxArguments;
    const char* summary;
    const char* details;
    int (*run)(const Arguments&);
};

const Command kCommands[] = {
    {"init", "ROOT", 1, 1, "make an empty machine in ROOT",
     "Makes ROOT (when missing), ROOT/drive_c/windows/system32/drivers and syswow64, and a registry\n"
     "holding HKLM\\SYSTEM\\CurrentControlSet\\Services, Enum and Control\\Session Manager.\n"
     "Refuses a ROOT that already holds a machine.\n",
     Init},
    {"reg import", "ROOT FILE", 2, 2, "apply a .reg file to the machine's registry",
     "FILE is .reg text as the Windows registry editor writes it, in UTF-16LE with a BOM or\n"
     "in UTF-8. It is applied all or nothing: a malformed line is reported with its number\n"
     "and the registry is left as it was.\n",
     RegImport},
    {"reg export", "ROOT KEY", 2, 2, "write a key and its subtree to standard output as .reg text",
     "KEY is a full path such as HKEY_LOCAL_MACHINE\\SYSTEM or HKLM\\SYSTEM. The text is UTF-8\n"
     "with LF line ends, and 'reg import' reads it back.\n",
     RegExport},
    {"reg sddl", "ROOT KEY [SDDL]", 2, 3, "print or set a key's security descriptor as SDDL",
     "Without SDDL, prints the descriptor of KEY (owner and DACL; a key without one of its\n"
     "own has O:BAD:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)). With SDDL, gives KEY that\n"
     "descriptor. SDDL holds O:, G: and D: parts; D: takes the flags P, AI, AR or\n"
     "NO_ACCESS_CONTROL, then ACEs (A or D;flags;rights;;;SID) with rights such as KA, KR,\n"
     "KW, RC, WD or 0x hex and SIDs such as BA, SY, WD, AU, BU or S-1-5-32-544. Malformed\n"
     "SDDL is refused and the key left as it was.\n",
     RegSddl},
    {"restart", "ROOT", 1, 1, "do to the machine what a restart of Windows does",
     "Drops the volatile keys (made with REG_OPTION_VOLATILE), then carries out, in order,\n"
     "the moves that MoveFileExA recorded for the next restart\n"
     "(HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager, PendingFileRenameOperations):\n"
     "each source is moved over its destination, read-only or not, with its attributes; an\n"
     "empty destination deletes the source. A move that can't be made is skipped with a note\n"
     "on standard error. Then the list is removed.\n",
     Restart},
};

std::vector<std::string> Words(const char* name) {
    std::istringstream in(name);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h"; }

std::string UsageLine(const Command& command) {
    return std::string("vtn2-machine ") + command.name + " " + command.arguments;
}

// The commands whose names begin with the given words, one line each.
void ListCommands(std::FILE* out, const std::vector<std::string>& prefix) {
    std::fprintf(out, "usage: vtn2-machine COMMAND ARGUMENTS...\n\ncommands:\n");
    for (const Command& command : kCommands) {
        std::vector<std::string> words = Words(command.name);
        if (words.size() < prefix.size() ||
            !std::equal(prefix.begin(), prefix.end(), words.begin())) {
            continue;
        }
        std::string left = std::string(command.name) + " " + command.arguments;
        std::fprintf(out, "  %-22s %s\n", left.c_str(), command.summary);
    }
    std::fprintf(out, "\n'vtn2-machine COMMAND --help' tells more about one command.\n");
}

int Usage(const std::string& problem, const std::vector<std::string>& prefix = {}) {
    std::fprintf(stderr, "vtn2-machine: %s\n", problem.c_str());
    ListCommands(stderr, prefix);
    return 2;
}

int Dispatch(const Arguments& words) {
    if (words.empty()) return Usage("no command given");
    if (IsHelp(words[0])) {
        ListCommands(stdout, {});
        return 0;
    }
    const Command* chosen = nullptr;
    size_t chosenWords = 0;
    for (const Command& command : kCommands) {
        std::vector<std::string> name = Words(command.name);
        if (name.size() > chosenWords && name.size() <= words.size() &&
            std::equal(name.begin(), name.end(), words.begin())) {
            chosen = &command;
            chosenWords = name.size();
        }
    }
    if (!chosen) {
        // A group of commands such as "reg" alone, or asked for its help.
        std::vector<std::string> group{words[0]};
        bool known = false;
        for (const Command& command : kCommands) {
            known = known || Words(command.name)[0] == words[0];
        }
        if (known && words.size() > 1 && IsHelp(words[1])) {
            ListCommands(stdout, group);
            return 0;
        }
        if (known && words.size() == 1) {
            return Usage("'" + words[0] + "' needs a subcommand", group);
        }
        std::string given = words[0] + (known ? " " + words[1] : "");
        return Usage("unknown command '" + given + "'", known ? group : std::vector<std::string>{});
    }
    Arguments args(words.begin() + static_cast<std::ptrdiff_t>(chosenWords), words.end());
    for (const std::string& arg : args) {
        if (IsHelp(arg)) {
            std::printf("usage: %s\n%s\n\n%s", UsageLine(*chosen).c_str(), chosen->summary,
                        chosen->details);
            return 0;
        }
    }
    if (args.size() < chosen->minArguments || args.size() > chosen->maxArguments) {
        std::fprintf(stderr, "vtn2-machine: wrong arguments for '%s'\nusage: %s\n", chosen->name,
                     UsageLine(*chosen).c_str());
        return 2;
    }
    try {
        return chosen->run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vtn2-machine: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) { return Dispatch(Arguments(argv + 1, argv + argc)); }
