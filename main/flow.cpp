#include "../detect/detect.h"
#include "../files/files.h"
#include "../upgrade/upgrade.h"
#include "installer.h"
#include "settings.h"

// Reads one switch into the run settings. Returns 0 when the argument is an
// invalid force code, which ends the run.
static int ReadSwitch(char* szArg, int* pbDetectOnly) {
    _strupr(szArg);
    if (!strcmp(szArg, "/X") || !strcmp(szArg, "-X") || !strcmp(szArg, "/Q") ||
        !strcmp(szArg, "-Q")) {
        bUnattended = 1;
    } else if (!strcmp(szArg, "/D") || !strcmp(szArg, "-D")) {
        wDebug = 1;
    } else if (!strcmp(szArg, "/H") || !strcmp(szArg, "-H")) {
        bUnattended = 1;
        *pbDetectOnly = 1;
    } else if (!strcmp(szArg, "/N") || !strcmp(szArg, "-N")) {
        bUnattended = 1;
        bMessages = 0;
    }
    if (szArg[0] == '-' && szArg[1] == 'F') {
        if (szArg[2] != 'U') {
            // Exit code 0 although nothing was done, on purpose: scripts that
            // pass a force code read 0 here.
            if (bMessages) printf("Invalid force code!\n");
            return 0;
        }
        chForceCode = 'U';
        if (bMessages) printf("Skipping hardware detection - forcing Kestil.\n");
    }
    return 1;
}

// Sets szSourcePath to the drive and directory of the program's own path.
// Returns 0, leaving it empty, when they would not fit.
static int SetSourcePath(const char* szProgram) {
    size_t nDrive = (szProgram[0] && szProgram[1] == ':') ? 2 : 0;
    const char* pDir = szProgram + nDrive;
    size_t nDir = 0;
    for (size_t i = 0; pDir[i]; ++i) {
        if (pDir[i] == '\\' || pDir[i] == '/') nDir = i + 1;
    }
    size_t nPrefix = (nDrive || (nDir && pDir[0] == '\\')) ? 2 : 0;
    if (nDir >= _MAX_DIR || nPrefix + nDir >= sizeof(szSourcePath)) return 0;

    char szDrive[_MAX_DRIVE];
    char szDir[_MAX_DIR];
    _splitpath(szProgram, szDrive, szDir, NULL, NULL);
    if (!szDrive[0] && !szDir[0]) {
        strcpy(szSourcePath, ".");
        return 1;
    }
    strcpy(szSourcePath, szDrive);
    if (!szDrive[0] && szDir[0] == '\\') sprintf(szSourcePath, "%c:", _getdrive() + 0x60);
    strcat(szSourcePath, szDir);
    return 1;
}

// 1 when the Installer runs from the installation directory itself.
static int RunsFromInstallDir(const char* szInstallDir) {
    char szSource[sizeof(szSourcePath)];
    strcpy(szSource, szSourcePath);
    size_t nLength = strlen(szSource);
    if (nLength && (szSource[nLength - 1] == '\\' || szSource[nLength - 1] == '/'))
        szSource[nLength - 1] = '\0';
    return _stricmp(szSource, szInstallDir) == 0;
}

static void StageUnlessInstallDir(const char* szInstallDir) {
    if (!RunsFromInstallDir(szInstallDir)) StageFromSource();
}

// Detects the adapter and, unless only detecting, installs; the exit code.
static int DetectAndInstall(const char* szInstallDir, int bDetectOnly) {
    if (ProbeAdapterInterface()) {
        if (bDetectOnly) return EXIT_DONE;
        StageUnlessInstallDir(szInstallDir);
        DebugPause("Found USB SP.\n", PAUSE_LINE);
        int nResult = UpgradeDrivers();
        if (nResult == 1) return EXIT_RESTART;
        if (nResult == 2) return EXIT_FAILED;
        return EXIT_DONE;
    }
    if (!FindExistingDevice()) {
        DebugPause("Didn't find USB SP.\n", PAUSE_LINE);
        return EXIT_NOT_FOUND;
    }
    DebugPause("Found Kestil but NO DRIVER.\n", PAUSE_LINE);
    // 16 whatever the upgrade gave short of failing, a restart it needs
    // included, on purpose: deployment recipes restart after 16 themselves.
    if (!bDetectOnly) {
        StageUnlessInstallDir(szInstallDir);
        if (UpgradeDrivers() == 2) return EXIT_FAILED;
    }
    return EXIT_NOT_REACHABLE;
}

static void PrintOutcome(int nExit) {
    if (!bMessages) return;
    switch (nExit) {
        case EXIT_DONE: PrintMessage(MSG_COMPLETE); break;
        case EXIT_RESTART:
            PrintMessage(MSG_COMPLETE);
            PrintMessage(MSG_REBOOT);
            break;
        case EXIT_FAILED: PrintMessage(MSG_FAILED); break;
        case EXIT_NOT_FOUND:
            PrintMessage(MSG_NOT_FOUND);
            PrintMessage(MSG_FAILED);
            break;
        case EXIT_NOT_REACHABLE:
            PrintMessage(MSG_NOT_CONFIGURED);
            PrintMessage(MSG_COMPLETE);
            break;
    }
}

int RunInstaller(int argc, char* argv[]) {
    int bDetectOnly = 0;
    char szSystemDir[520];
    char szInstallDir[528];

    bUnattended = 0;
    bMessages = 1;
    for (int i = 1; i < argc; ++i) {
        if (!ReadSwitch(argv[i], &bDetectOnly)) return EXIT_DONE;
    }
    int bSourceFits = SetSourcePath(argc > 0 ? argv[0] : "");

    pMessages = szCatalogue;
    if (bMessages) printf("%s", szCatalogue[MSG_BANNER]);

    int nExit = EXIT_FAILED;
    if (bSourceFits) {
        UINT uLength = GetSystemDirectoryA(szSystemDir, sizeof(szSystemDir));
        if (uLength == 0 || uLength >= MAX_PATH) {
            DebugPause("Main - GetSystemDirectory failed.\n", PAUSE_LINE);
        } else {
            sprintf(szInstallDir, "%s%s", szSystemDir, szCatalogue[MSG_INSTALL_DIR]);
            nExit = DetectAndInstall(szInstallDir, bDetectOnly);
        }
    }

    PrintOutcome(nExit);
    if (!bUnattended) {
        printf("%s", pMessages[MSG_PRESS_ANY_KEY]);
        WaitForKey();
    }
    return nExit;
}
