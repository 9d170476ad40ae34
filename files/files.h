// File placement: the guarded copy, staging and restore.
#ifndef VTN2_FILES_H
#define VTN2_FILES_H

// Copies the distribution into the staging directory under the system directory.
void StageFromSource(void);

#endif
