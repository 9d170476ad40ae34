#include "files.h"

#include "../main/guards.h"
#include "../main/settings.h"

#define QUESTION_BUFFER_SIZE 256

// Composes "%s%s"; 0, with nothing usable composed, when it doesn't fit.
static int ComposePath(char* szPath, const char* szDir, const char* szName) {
    int nLength = snprintf(szPath, PATH_BUFFER_SIZE, "%s%s", szDir, szName);
    return nLength >= 0 && nLength < PATH_BUFFER_SIZE;
}

int FormSystemPath(char* szPath, const char* szSuffix) {
    char szSystemDir[520];
    UINT uLength = GetSystemDirectoryA(szSystemDir, sizeof(szSystemDir));
    if (uLength == 0 || uLength >= sizeof(szSystemDir)) return 0;
    return ComposePath(szPath, szSystemDir, szSuffix);
}

// The file's last-write time; 0 when it can't be found.
static int GetLastWriteTime(const char* szPath, FILETIME* pTime) {
    WIN32_FIND_DATAA findData;
    UniqueFind hFind(FindFirstFileA(szPath, &findData));
    if (!hFind.valid()) return 0;
    *pTime = findData.ftLastWriteTime;
    return 1;
}

int CompareFileDates(const char* szSourcePath, const char* szDestPath) {
    FILETIME destTime, sourceTime;
    if (!GetLastWriteTime(szDestPath, &destTime)) return 1;
    if (!GetLastWriteTime(szSourcePath, &sourceTime)) return 1;
    LONG lOrder = CompareFileTime(&sourceTime, &destTime);
    return lOrder < 0 ? -1 : lOrder > 0 ? 1 : 0;
}

static void TraceCopyPaths(const char* szSource, const char* szDest) {
    if (!wDebug || !bMessages) return;
    printf("CopyFile source = >%s<\n", szSource);
    printf("CopyFile dest = >%s<\n", szDest);
}

// The age notice and question; 0 when the user keeps the newer destination.
// "cancel" copies as "y" does, on purpose: people, and scripts that feed the
// answers, get the copy they have always had.
static int CopyAnyway(const char* szSource, const char* szDest, int bUnattendedFlag) {
    char szQuestion[QUESTION_BUFFER_SIZE];
    printf("\n");
    printf(pMessages[MSG_OLDER], szSource, szDest);
    snprintf(szQuestion, sizeof(szQuestion), "%s", pMessages[MSG_COPY_ANYWAY]);
    return GetAnswer(szQuestion, bUnattendedFlag) != ANSWER_NO;
}

int InstallFile(const char* szSourceDir, const char* szDestDir, const char* szSourceName,
                const char* szDestName, int bUnattendedFlag) {
    char szSource[PATH_BUFFER_SIZE];
    char szDest[PATH_BUFFER_SIZE];
    if (!ComposePath(szSource, szSourceDir, szSourceName) ||
        !ComposePath(szDest, szDestDir, szDestName))
        return COPY_FAILED;
    TraceCopyPaths(szSource, szDest);

    FILETIME sourceTime;
    if (!GetLastWriteTime(szSource, &sourceTime)) {
        // Traced a second time on purpose: the repeated pair is how a debug
        // run shows a missing source, and scripts compare the trace byte for byte.
        TraceCopyPaths(szSource, szDest);
        return COPY_FAILED;
    }

    // Its result is not looked at, on purpose: the copy goes ahead whatever it
    // gave, which a first installation, whose destinations are not there yet,
    // relies on.
    SetFileAttributesA(szDest, FILE_ATTRIBUTE_NORMAL);
    if (bMessages && CompareFileDates(szSource, szDest) < 0 &&
        !CopyAnyway(szSource, szDest, bUnattendedFlag))
        return COPY_OK;

    if (CopyFileA(szSource, szDest, FALSE)) return COPY_OK;

    DWORD dwError = GetLastError();
    // The two constants end the line whatever the error, on purpose: scripts
    // compare the trace byte for byte.
    if (wDebug && bMessages) {
        printf("CopyFile error on source file = >%s<, err = %x, %x, %x\n", szSource,
               static_cast<unsigned>(dwError), static_cast<unsigned>(ERROR_SHARING_VIOLATION),
               static_cast<unsigned>(ERROR_LOCK_VIOLATION));
    }
    if (dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_LOCK_VIOLATION) return COPY_FAILED;
    // The destination is in use: it is replaced when the system next starts.
    if (!MoveFileExA(szSource, szDest, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return COPY_FAILED;
    return COPY_AT_RESTART;
}

int InstallFileSameName(const char* szSourceDir, const char* szDestDir, const char* szName,
                        int bUnattendedFlag) {
    return InstallFile(szSourceDir, szDestDir, szName, szName, bUnattendedFlag);
}
