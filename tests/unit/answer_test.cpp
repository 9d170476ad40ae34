#include "files/files.h"
#include "fixture.h"
#include "main/settings.h"

namespace {

const std::string kPrompt = "Do you want to copy anyway? (y/n):\n";

class Answer : public MachineTest {
protected:
    int Ask(const std::string& input, int unattended = 0) {
        SetInput(input);
        int answer = -1;
        output_ = Capture([&] { answer = GetAnswer(kPrompt.c_str(), unattended); });
        return answer;
    }
    std::string Prompts(int count) const {
        std::string out;
        for (int i = 0; i < count; ++i) out += kPrompt;
        return out;
    }
    std::string output_;
};

struct Row {
    const char* input;
    int answer;
    int prompts;
};

TEST_F(Answer, OnlyTheBeginningOfTheAnswerCounts) {
    const Row rows[] = {
        {"y\n", ANSWER_YES, 1},
        {"Y\n", ANSWER_YES, 1},
        {"yes\n", ANSWER_YES, 1},
        {"Yes please\n", ANSWER_YES, 1},
        {" \t y\n", ANSWER_YES, 1},
        {"yn\n", ANSWER_YES, 1},
        {"\x80\xffy\n", ANSWER_YES, 1},
        {"n\n", ANSWER_NO, 1},
        {"N\n", ANSWER_NO, 1},
        {"nonsense\n", ANSWER_NO, 1},
        {"ny\n", ANSWER_NO, 1},
        {"cancel\n", ANSWER_CANCEL, 1},
        {"CANCEL\n", ANSWER_CANCEL, 1},
        {"Cancelled\n", ANSWER_CANCEL, 1},
        {"c\ncan\ncance\ny\n", ANSWER_YES, 4},
        {"\n   \n\t\nx\nn\n", ANSWER_NO, 5},
        {"y", ANSWER_YES, 1},
        {"\r\ny\r\n", ANSWER_YES, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.input)));
        EXPECT_EQ(Ask(row.input), row.answer);
        EXPECT_EQ(output_, Prompts(row.prompts));
    }
}

TEST_F(Answer, EndOfInputMeansNo) {
    EXPECT_EQ(Ask(""), ANSWER_NO);
    EXPECT_EQ(output_, Prompts(1));
    EXPECT_EQ(Ask("x\n   \n"), ANSWER_NO);
    EXPECT_EQ(output_, Prompts(3));
}

TEST_F(Answer, UnattendedAnswersYesWithoutAskingOrReading) {
    EXPECT_EQ(Ask("n\n", 1), ANSWER_YES);
    EXPECT_EQ(output_, "");
    char line[8] = {};
    ASSERT_NE(fgets(line, sizeof line, stdin), nullptr);
    EXPECT_STREQ(line, "n\n");
}

TEST_F(Answer, WithoutMessagesLinesAreStillReadAndJudged) {
    bMessages = 0;
    EXPECT_EQ(Ask("x\ncancel\n"), ANSWER_CANCEL);
    EXPECT_EQ(output_, "");
}

TEST_F(Answer, LongLinesAreJudgedByTheirStartAndDroppedWhole) {
    EXPECT_EQ(Ask(std::string(1031, 'x') + "y\ny\n"), ANSWER_YES);
    EXPECT_EQ(output_, Prompts(2)) << "the 'y' past the buffer is not a line of its own";

    SetInput("n" + std::string(5000, 'y') + "\ncancel\n");
    EXPECT_EQ(GetAnswer(kPrompt.c_str(), 0), ANSWER_NO);
    EXPECT_EQ(GetAnswer(kPrompt.c_str(), 0), ANSWER_CANCEL);
}

TEST_F(Answer, ANulInALineDoesNotSwallowTheNextLine) {
    EXPECT_EQ(Ask(std::string("\0\ny\n", 4)), ANSWER_YES);
    EXPECT_EQ(output_, Prompts(2));

    SetInput(std::string("n\0y\ncancel\n", 11));
    EXPECT_EQ(GetAnswer(kPrompt.c_str(), 0), ANSWER_NO);
    EXPECT_EQ(GetAnswer(kPrompt.c_str(), 0), ANSWER_CANCEL);
}

TEST_F(Answer, AcceptsTheWordsOfTheCurrentCatalogue) {
    const char* words[CATALOGUE_SIZE];
    for (int i = 0; i < CATALOGUE_SIZE; ++i) words[i] = szCatalogue[i];
    words[MSG_ANSWER_NO] = "nein";
    words[MSG_ANSWER_YES] = "ja";
    words[MSG_ANSWER_CANCEL] = "abbruch";
    pMessages = words;
    EXPECT_EQ(Ask("n\nj\nJA\n"), ANSWER_YES);
    EXPECT_EQ(output_, Prompts(3));
}

TEST(FirstGraphic, FindsTheFirstPrintableCharacterOtherThanBlank) {
    EXPECT_EQ(FirstGraphic(nullptr), nullptr);
    EXPECT_EQ(FirstGraphic(""), nullptr);
    EXPECT_EQ(FirstGraphic("   \t\x7f\x80"), nullptr);
    const char* text = "  a b";
    EXPECT_EQ(FirstGraphic(text), text + 2);
    const char* tilde = "\x01~";
    EXPECT_EQ(FirstGraphic(tilde), tilde + 1);
}

}  // namespace
