#include "files.h"

#include "../main/settings.h"

#define ANSWER_BUFFER_SIZE 1032
#define GRAPHIC_CLASSES 0x117  // upper, lower, digit, punctuation, alpha

const char* FirstGraphic(const char* szText) {
    if (!szText) return NULL;
    for (const char* p = szText; *p; ++p) {
        if (_isctype(static_cast<unsigned char>(*p), GRAPHIC_CLASSES)) return p;
    }
    return NULL;
}

// Reads one line, less its line end, into the answer buffer, a character at
// a time: a NUL typed in the line must not hide where it ends. A longer line
// is judged by its first part; the rest of it is read and dropped, so that
// it can't pass for the next answer. Returns 0 when no line could be read.
static int ReadAnswerLine(char* szLine) {
    int c = getchar();
    if (c == EOF) return 0;
    size_t nLength = 0;
    for (; c != '\n' && c != EOF; c = getchar()) {
        if (nLength < ANSWER_BUFFER_SIZE - 1) szLine[nLength++] = static_cast<char>(c);
    }
    szLine[nLength] = '\0';
    return 1;
}

static int StartsWithEntry(const char* pAnswer, int nEntry) {
    return _strnicmp(pAnswer, pMessages[nEntry], strlen(pMessages[nEntry])) == 0;
}

int GetAnswer(const char* szPrompt, int bUnattendedFlag) {
    if (bUnattendedFlag) return ANSWER_YES;
    char szLine[ANSWER_BUFFER_SIZE];
    for (;;) {
        if (bMessages) printf("%s", szPrompt);
        fflush(stdout);
        // Nobody is left to answer once input has ended; no keeps the newer file.
        if (!ReadAnswerLine(szLine)) return ANSWER_NO;
        const char* pAnswer = FirstGraphic(szLine);
        if (!pAnswer) continue;
        if (StartsWithEntry(pAnswer, MSG_ANSWER_CANCEL)) return ANSWER_CANCEL;
        if (StartsWithEntry(pAnswer, MSG_ANSWER_YES)) return ANSWER_YES;
        if (StartsWithEntry(pAnswer, MSG_ANSWER_NO)) return ANSWER_NO;
    }
}
