#include "files.h"

#include "../main/settings.h"

static const int nStagedFiles[] = {MSG_FILE_SETUP, MSG_FILE_LIBRARY, MSG_FILE_LIBRARY32,
                                   MSG_FILE_REMOVER, MSG_FILE_SERVICE};
static const int nRestoredFiles[] = {MSG_FILE_REMOVER, MSG_FILE_SERVICE};

// No result is looked at here, on purpose, neither the directory's nor the
// copies': a file that could not be staged fails, if at all, in the upgrade's
// copies, and the exit code that scripts read stands for those alone.
void StageFromSource(void) {
    char szStaging[PATH_BUFFER_SIZE];
    char szSourcePrefix[PATH_BUFFER_SIZE];
    if (!FormSystemPath(szStaging, szCatalogue[MSG_STAGING_DIR])) return;
    CreateDirectoryA(szStaging, NULL);
    // szSourcePath ends in a separator already; the doubled one is kept on
    // purpose, as the age notice and the debug traces show it to people and
    // scripts that read them as they are.
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
