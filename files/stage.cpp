#include "files.h"

#include "../main/settings.h"

static const int nStagedFiles[] = {MSG_FILE_SETUP, MSG_FILE_LIBRARY, MSG_FILE_LIBRARY32,
                                   MSG_FILE_REMOVER, MSG_FILE_SERVICE};
static const int nRestoredFiles[] = {MSG_FILE_REMOVER, MSG_FILE_SERVICE};

void StageFromSource(void) {
    char szStaging[PATH_BUFFER_SIZE];
    char szSourcePrefix[PATH_BUFFER_SIZE];
    if (!FormSystemPath(szStaging, szCatalogue[MSG_STAGING_DIR])) return;
    CreateDirectoryA(szStaging, NULL);
    snprintf(szSourcePrefix, sizeof(szSourcePrefix), "%s\\", szSourcePath);
    for (int nEntry : nStagedFiles)
        InstallFileSameName(szSourcePrefix, szStaging, szCatalogue[nEntry], bUnattended);
}

void RestoreServiceFiles(void) {
    char szStaging[PATH_BUFFER_SIZE];
    char szSystemPrefix[PATH_BUFFER_SIZE];
    if (!FormSystemPath(szStaging, szCatalogue[MSG_STAGING_DIR]) ||
        !FormSystemPath(szSystemPrefix, "\\"))
        return;
    for (int nEntry : nRestoredFiles)
        InstallFileSameName(szStaging, szSystemPrefix, szCatalogue[nEntry], bUnattended);
}
