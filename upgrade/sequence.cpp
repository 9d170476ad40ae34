#include "upgrade.h"

#include "../files/files.h"
#include "../main/settings.h"

// The programs the sequence runs, each from the system directory. The path
// goes in quotes so that a system directory with a blank in it can't start
// another program; without a system directory nothing is started.
static int RunSystemProgram(const char* szProgram, const char* szArguments) {
    char szProgramPath[PATH_BUFFER_SIZE];
    char szCommandLine[PATH_BUFFER_SIZE];
    if (!FormSystemPath(szProgramPath, szProgram)) return 0;
    int nLength = snprintf(szCommandLine, sizeof(szCommandLine), "\"%s\"%s", szProgramPath,
                           szArguments);
    if (nLength < 0 || nLength >= static_cast<int>(sizeof(szCommandLine))) return 0;
    return RunAndWait(szCommandLine);
}

static int FoldCopy(int nResult, int nCopy) {
    if (nCopy == COPY_FAILED) return 2;
    if (nCopy == COPY_AT_RESTART && nResult < 1) return 1;
    return nResult;
}

// The names in the trace are spelled as they are on purpose: scripts compare
// the trace byte for byte.
static void TraceBuffers(const char* lpBuffer, const char* lpBuffr2) {
    if (!wDebug || bMessages != 1) return;
    printf("lpBuffer = >%s<\n", lpBuffer);
    printf("lpBuffr2 = >%s<\n", lpBuffr2);
}

int UpgradeDrivers(void) {
    if (RunSystemProgram("\\vlqwdzsv.exe", " -remove")) RestoreServiceFiles();
    int nResult = PurgeServiceKeys() ? 1 : 0;
    if (RunSystemProgram("\\vlqspsvc.exe", " -remove")) RestoreServiceFiles();

    // A system directory that can't be had now fails the copies that need it,
    // rather than letting them run from whatever directory the process is in.
    char lpBuffer[PATH_BUFFER_SIZE];
    char lpBuffr2[PATH_BUFFER_SIZE];
    int bDirs = FormSystemPath(lpBuffer, szCatalogue[MSG_STAGING_DIR]) &&
                FormSystemPath(lpBuffr2, "\\");
    if (bDirs) TraceBuffers(lpBuffer, lpBuffr2);
    static const int nSystemFiles[] = {MSG_FILE_LIBRARY, MSG_FILE_REMOVER, MSG_FILE_SERVICE};
    for (int nEntry : nSystemFiles) {
        nResult = FoldCopy(nResult, bDirs ? InstallFileSameName(lpBuffer, lpBuffr2,
                                                                szCatalogue[nEntry], bUnattended)
                                          : COPY_FAILED);
    }

    bDirs = bDirs && FormSystemPath(lpBuffr2, szCatalogue[MSG_WOW64_DIR]);
    if (bDirs) TraceBuffers(lpBuffer, lpBuffr2);
    nResult = FoldCopy(nResult, bDirs ? InstallFile(lpBuffer, lpBuffr2,
                                                    szCatalogue[MSG_FILE_LIBRARY32],
                                                    szCatalogue[MSG_FILE_LIBRARY], bUnattended)
                                      : COPY_FAILED);

    // Whether the install command could start does not count, on purpose: the
    // result, and so the exit code that scripts read, stands for the purge and
    // the copies alone.
    RunSystemProgram("\\vlqspsvc.exe", " -install -VTN2");
    return nResult;
}
