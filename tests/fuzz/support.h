// What the fuzz targets share: how a finding is reported, and keeping the
// Installer's console quiet so that millions of runs neither block on a key
// press nor fill the disk.
#ifndef VTN2_FUZZ_SUPPORT_H
#define VTN2_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// libFuzzer saves the input that led here as a crash.
[[noreturn]] inline void Finding(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Standard input and output on /dev/null: not a console, so no key press is
// waited for; libFuzzer and the sanitizers report on standard error.
inline void QuietStandardStreams() {
    std::fflush(stdout);
    int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0) Finding("cannot open /dev/null");
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    close(devNull);
}

}  // namespace fuzz

#endif
