// Any command line, program path included, through the whole run against a
// machine without the adapter. The input is the argument vector, split on
// NUL bytes: "setup\0/H\0-fu" is three arguments; an empty input none.
//
// Every input runs, installing ones (-FU without /H) too: on this machine
// starting a program always fails, as it does when the programs are missing,
// so no run waits for one, and none costs a fork of this large process.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "main/installer.h"
#include "main/settings.h"
#include "platform/emulation.h"
#include "support.h"
#include "tests/run_settings.h"
#include "tools/machine/regfile.h"

namespace fs = std::filesystem;

namespace {

fs::path workDir;
fs::path pristine;  // the machine as made, copied afresh before each run
fs::path machine;

void RestoreMachine() {
    fs::remove_all(machine);
    fs::copy(pristine, machine, fs::copy_options::recursive);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where there is room: every run makes the machine anew.
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/vtn2-fuzz-command-line-XXXXXX";
    if (!mkdtemp(pattern.data())) fuzz::Finding("cannot make a temporary directory");
    workDir = pattern;
    pristine = workDir / "pristine";
    machine = workDir / "machine";
    InitMachine(pristine);
    std::ofstream(pristine / "faults") << "CreateProcessA * 2\n";
    setenv("VTN2_MACHINE", machine.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(workDir, ec);
    });
    fuzz::QuietStandardStreams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each argument in a block of its own size: RunInstaller upper-cases in
    // place, and a write past an argument's NUL must show.
    std::vector<std::unique_ptr<char[]>> args;
    const char* text = reinterpret_cast<const char*>(data);
    for (size_t start = 0; start < size;) {
        const char* nul = static_cast<const char*>(std::memchr(text + start, '\0', size - start));
        size_t length = (nul ? static_cast<size_t>(nul - text) : size) - start;
        args.emplace_back(new char[length + 1]);
        std::memcpy(args.back().get(), text + start, length);
        args.back()[length] = '\0';
        start += length + 1;
        if (nul && start == size) args.emplace_back(new char[1]{'\0'});
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.get());
    argv.push_back(nullptr);

    RestoreMachine();
    ResetRunSettings();
    int code = RunInstaller(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    // Freed within the run, or libFuzzer would look for a leak after every run.
    emu::ClearCallLog();

    if (code != 0 && code != 1 && code != 2 && code != 8 && code != 16)
        fuzz::Finding("exit code " + std::to_string(code));
    if (!std::memchr(szSourcePath, '\0', sizeof(szSourcePath)))
        fuzz::Finding("szSourcePath is not terminated within its 256 bytes");
    if (emu::OutstandingResources() != 0)
        fuzz::Finding("resources never released:\n" + emu::DescribeOutstanding());
    return 0;
}
