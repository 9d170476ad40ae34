// The Installer's run settings as a new process has them, for tests that run
// its functions again and again in one process.
#ifndef VTN2_TEST_RUN_SETTINGS_H
#define VTN2_TEST_RUN_SETTINGS_H

#include <cstring>

#include "../main/settings.h"

inline void ResetRunSettings() {
    bUnattended = 0;
    bMessages = 1;
    wDebug = 0;
    chForceCode = '\0';
    for (int& seen : fDeviceSeen) seen = 0;
    // Empty, as at process start, with no NUL after the first byte so that a
    // path left unterminated shows.
    std::memset(szSourcePath, 0x7F, sizeof(szSourcePath));
    szSourcePath[0] = '\0';
    pMessages = szCatalogue;
}

#endif
