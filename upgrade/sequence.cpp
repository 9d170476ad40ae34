#include "upgrade.h"

#include "../files/files.h"
#include "../main/settings.h"

// The programs the sequence runs, each from the system directory. The path
// goes in quotes so that a system directory with a blank in it can't start
// another program.
static int RunSystemProgram(const char* szProgram, const char* szArguments) {
    char szSystemDir[520];
    char szCommandLine[PATH_BUFFER_SIZE];
    GetSystemDirectoryA(szSystemDir, sizeof(szSystemDir));
    int nLength = snprintf(szCommandLine, sizeof(szCommandLine), "\"%s%s\"%s", szSystemDir,
                           szProgram, szArguments);
    if (nLength < 0 || nLength >= static_cast<int>(sizeof(szCommandLine))) return 0;
    return RunAndWait(szCommandLine);
}

static int FoldCopy(int nResult, int nCopy) {
    if (nCopy == COPY_FAILED) return 2;
    if (nCopy == COPY_AT_RESTART && nResult < 1) return 1;
    return nResult;
}

static void TraceBuffers(const char* lpBuffer, const char* lpBuffr2) {
    if (!wDebug || bMessages != 1) return;
    printf("lpBuffer = >%s<\n", lpBuffer);
    printf("lpBuffr2 = >%s<\n", lpBuffr2);
}

int UpgradeDrivers(void) {
    if (RunSystemProgram("\\vlqwdzsv.exe", " -remove")) RestoreServiceFiles();
    int nResult = PurgeServiceKeys() ? 1 : 0;
    if (RunSystemProgram("\\vlqspsvc.exe", " -remove")) RestoreServiceFiles();

    char lpBuffer[PATH_BUFFER_SIZE];
    char lpBuffr2[PATH_BUFFER_SIZE];
    FormSystemPath(lpBuffer, szCatalogue[MSG_STAGING_DIR]);
    FormSystemPath(lpBuffr2, "\\");
    TraceBuffers(lpBuffer, lpBuffr2);
    static const int nSystemFiles[] = {MSG_FILE_LIBRARY, MSG_FILE_REMOVER, MSG_FILE_SERVICE};
    for (int nEntry : nSystemFiles)
        nResult = FoldCopy(nResult, InstallFileSameName(lpBuffer, lpBuffr2, szCatalogue[nEntry],
                                                        bUnattended));

    FormSystemPath(lpBuffr2, szCatalogue[MSG_WOW64_DIR]);
    TraceBuffers(lpBuffer, lpBuffr2);
    nResult = FoldCopy(nResult, InstallFile(lpBuffer, lpBuffr2, szCatalogue[MSG_FILE_LIBRARY32],
                                            szCatalogue[MSG_FILE_LIBRARY], bUnattended));

    RunSystemProgram("\\vlqspsvc.exe", " -install -VTN2");
    return nResult;
}
