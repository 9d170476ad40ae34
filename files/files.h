// File placement: the console question, the guarded copy, staging and restore.
#ifndef VTN2_FILES_H
#define VTN2_FILES_H

// Answers of GetAnswer.
#define ANSWER_CANCEL 0
#define ANSWER_YES 1
#define ANSWER_NO 2

// Results of the guarded copy.
#define COPY_OK 0
#define COPY_FAILED 103
#define COPY_AT_RESTART 115

// Composed paths and command lines.
#define PATH_BUFFER_SIZE 528

// The first graphic character (0x21 to 0x7E) of the text, or NULL.
const char* FirstGraphic(const char* szText);

// Asks the question on the console until an answer is typed; yes at once
// when unattended, no once standard input has ended.
int GetAnswer(const char* szPrompt, int bUnattendedFlag);

int InstallFile(const char* szSourceDir, const char* szDestDir, const char* szSourceName,
                const char* szDestName, int bUnattendedFlag);
int InstallFileSameName(const char* szSourceDir, const char* szDestDir, const char* szName,
                        int bUnattendedFlag);
// -1 when the source is older than the destination, 0 same age, 1 newer or
// when either can't be found.
int CompareFileDates(const char* szSourcePath, const char* szDestPath);

// The system directory followed by a suffix, into a PATH_BUFFER_SIZE buffer;
// 0 when either doesn't fit.
int FormSystemPath(char* szPath, const char* szSuffix);

// Copies the distribution into the staging directory under the system directory.
void StageFromSource(void);
// Copies the two management programs from the staging directory back into
// the system directory.
void RestoreServiceFiles(void);

#endif
