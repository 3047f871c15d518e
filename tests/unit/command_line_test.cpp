// The scan and the checks of the command-line words.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "choices.h"

namespace {

struct Parsed {
  bool ok;
  int action = kActionNone;
  int startMode = kStartManual;
  int transport = kTransportTcp;
};

Parsed ParseLine(const std::string& line) {
  Parsed p{};
  p.ok =
      command_line::Parse(line.c_str(), &p.action, &p.startMode, &p.transport);
  return p;
}

void ExpectAccepted(const std::string& line, int action, int startMode,
                    int transport) {
  SCOPED_TRACE("command line: [" + line + "]");
  Parsed p = ParseLine(line);
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(action, p.action);
  EXPECT_EQ(startMode, p.startMode);
  EXPECT_EQ(transport, p.transport);
}

void ExpectRejected(const std::string& line) {
  SCOPED_TRACE("command line: [" + line + "]");
  EXPECT_FALSE(ParseLine(line).ok);
}

TEST(CommandLine, AcceptsEveryCommandOfTheGrammar) {
  ExpectAccepted("nogui install auto tcp", kActionInstall, kStartAutomatic,
                 kTransportTcp);
  ExpectAccepted("nogui install auto spx", kActionInstall, kStartAutomatic,
                 kTransportSpx);
  ExpectAccepted("nogui install manual tcp", kActionInstall, kStartManual,
                 kTransportTcp);
  ExpectAccepted("nogui install manual spx", kActionInstall, kStartManual,
                 kTransportSpx);
  ExpectAccepted("nogui remove tcp", kActionRemove, kStartManual,
                 kTransportTcp);
  ExpectAccepted("nogui remove spx", kActionRemove, kStartManual,
                 kTransportSpx);
  ExpectAccepted("nogui start tcp", kActionStart, kStartManual, kTransportTcp);
  ExpectAccepted("nogui start spx", kActionStart, kStartManual, kTransportSpx);
}

TEST(CommandLine, WhiteSpaceBetweenWordsActsAsOneSeparator) {
  ExpectAccepted("nogui    install   auto      tcp", kActionInstall,
                 kStartAutomatic, kTransportTcp);
  // Once a word has ended at a space, any white space up to the next word
  // is skipped, tabs and line ends included.
  ExpectAccepted("nogui \t install \n auto \t\r\n tcp", kActionInstall,
                 kStartAutomatic, kTransportTcp);
  ExpectAccepted("nogui remove spx   ", kActionRemove, kStartManual,
                 kTransportSpx);
}

TEST(CommandLine, TextAfterACompleteCommandIsIgnored) {
  ExpectAccepted("nogui remove spx and more words", kActionRemove, kStartManual,
                 kTransportSpx);
  ExpectAccepted("nogui start tcp spx", kActionStart, kStartManual,
                 kTransportTcp);
  ExpectAccepted("nogui install auto tcp extra", kActionInstall,
                 kStartAutomatic, kTransportTcp);
  // Word 4 ends at any white space, a tab included.
  ExpectAccepted("nogui install auto tcp\tignored", kActionInstall,
                 kStartAutomatic, kTransportTcp);
  // Remove and start never look at word 4, however long it is.
  ExpectAccepted("nogui start tcp " + std::string(300, 'x'), kActionStart,
                 kStartManual, kTransportTcp);
}

TEST(CommandLine, KeywordsAreCaseSensitive) {
  ExpectRejected("NOGUI install auto tcp");
  ExpectRejected("nogui Install auto tcp");
  ExpectRejected("nogui install AUTO tcp");
  ExpectRejected("nogui install auto TCP");
  ExpectRejected("nogui remove Spx");
  ExpectRejected("nogui START tcp");
}

TEST(CommandLine, ATabDoesNotEndTheFirstThreeWords) {
  ExpectRejected("nogui\tstart tcp");
  ExpectRejected("nogui start\ttcp");
  ExpectRejected("nogui install auto\ttcp");
  ExpectRejected("nogui remove tcp\n");  // the line end belongs to word 3
}

TEST(CommandLine, RejectsWordsInTheWrongPlaceOrUnknown) {
  ExpectRejected("nogui install tcp auto");
  ExpectRejected("nogui install manual udp");
  ExpectRejected("nogui bogus");
  ExpectRejected("nogui remove auto");
  ExpectRejected("gui start tcp");
  ExpectRejected("nogui nogui start tcp");
  ExpectRejected("\"nogui\" start tcp");
  ExpectRejected(" nogui start tcp");  // word 1 cannot start with a space
}

TEST(CommandLine, MissingWordsCountAsEmpty) {
  ExpectRejected("");
  ExpectRejected("nogui");
  ExpectRejected("nogui ");
  ExpectRejected("nogui install");
  ExpectRejected("nogui install auto");
  ExpectRejected("nogui install auto   ");
  ExpectRejected("nogui remove");
  ExpectRejected("nogui start");
}

TEST(CommandLine, OverLongWordsAreRejectedWithoutOverflow) {
  const std::string longWord(300, 'n');
  ExpectRejected(longWord);
  ExpectRejected("nogui " + longWord + " tcp");
  ExpectRejected("nogui start " + longWord);
  ExpectRejected("nogui install " + longWord + " tcp");
  ExpectRejected("nogui install auto " + longWord);
  // A word that starts with a keyword but goes past the buffer is not that
  // keyword, even if the characters that fit would match a prefix.
  ExpectRejected("nogui install auto tcptcptcptcp");
  ExpectRejected("nogui" + std::string(70, 'i') + " start tcp");
}

TEST(CommandLine, WordsThatFillTheirBufferExactlyAreStillRead) {
  command_line::Words words;
  const std::string w63(63, 'a');
  const std::string w11(11, 'b');
  command_line::Scan((w63 + " " + w63 + " " + w63 + " " + w11).c_str(), &words);
  EXPECT_EQ(w63, words.word[0]);
  EXPECT_EQ(w63, words.word[2]);
  EXPECT_EQ(w11, words.last);
  for (bool tooLong : words.tooLong) EXPECT_FALSE(tooLong);

  command_line::Scan(
      (std::string(64, 'a') + " x y " + std::string(12, 'b')).c_str(), &words);
  EXPECT_TRUE(words.tooLong[0]);
  EXPECT_EQ(std::string(63, 'a'), words.word[0]);
  // The rest of an over-long word is dropped, not carried into the next.
  EXPECT_STREQ("x", words.word[1]);
  EXPECT_STREQ("y", words.word[2]);
  EXPECT_TRUE(words.tooLong[3]);
}

TEST(CommandLine, ChecksWriteEachValueOnceItsWordIsAccepted) {
  // The start mode is set before the transport word is found wrong.
  Parsed p = ParseLine("nogui install auto udp");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(1, p.action);
  EXPECT_EQ(2, p.startMode);
  EXPECT_EQ(1, p.transport);

  p = ParseLine("nogui remove udp");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(2, p.action);

  p = ParseLine("nogui bogus tcp");
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(0, p.action);
}

}  // namespace
