// The scan of the command line into its four words, and the checks that
// turn them into an action, a start mode and a transport.
#include "command_line.h"

#include <cstring>

#include "choices.h"

namespace command_line {
namespace {

// The white space that the formatted scan skips between words.
bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Copies one word into buf (size bytes), ending at a character for which
// `ends` holds or at the text's end. Characters that do not fit are read
// and dropped, so that the next word starts where it would without a bound.
// Returns the position after the word; *empty tells whether it had none.
template <typename EndsWord>
const char* ReadWord(const char* p, char* buf, std::size_t size, bool* tooLong,
                     bool* empty, EndsWord ends) {
  std::size_t n = 0;
  *tooLong = false;
  while (*p != '\0' && !ends(*p)) {
    if (n + 1 < size) {
      buf[n++] = *p;
    } else {
      *tooLong = true;
    }
    ++p;
  }
  buf[n] = '\0';
  *empty = (n == 0 && !*tooLong);
  return p;
}

const char* SkipWhiteSpace(const char* p) {
  while (IsWhiteSpace(*p)) ++p;
  return p;
}

bool Is(const char* word, bool tooLong, const char* keyword) {
  return !tooLong && std::strcmp(word, keyword) == 0;
}

bool CheckTransport(const char* word, bool tooLong, int* transport) {
  if (Is(word, tooLong, "tcp")) {
    *transport = kTransportTcp;
    return true;
  }
  if (Is(word, tooLong, "spx")) {
    *transport = kTransportSpx;
    return true;
  }
  return false;
}

}  // namespace

void Scan(const char* text, Words* words) {
  std::memset(words, 0, sizeof *words);
  const char* p = text;
  bool empty = false;
  // A word that is missing ends the scan, as the formatted scan stops at
  // its first failed conversion; the remaining words stay empty.
  for (int i = 0; i < 3; ++i) {
    if (i > 0) p = SkipWhiteSpace(p);
    p = ReadWord(p, words->word[i], kWordSize, &words->tooLong[i], &empty,
                 [](char c) { return c == ' '; });
    if (empty) return;
  }
  p = SkipWhiteSpace(p);
  ReadWord(p, words->last, kLastWordSize, &words->tooLong[3], &empty,
           IsWhiteSpace);
}

bool Check(const Words& w, int* action, int* startMode, int* transport) {
  if (!Is(w.word[0], w.tooLong[0], "nogui")) return false;

  if (Is(w.word[1], w.tooLong[1], "install")) {
    *action = kActionInstall;
  } else if (Is(w.word[1], w.tooLong[1], "remove")) {
    *action = kActionRemove;
  } else if (Is(w.word[1], w.tooLong[1], "start")) {
    *action = kActionStart;
  } else {
    return false;
  }

  if (*action == kActionInstall) {
    if (Is(w.word[2], w.tooLong[2], "auto")) {
      *startMode = kStartAutomatic;
    } else if (Is(w.word[2], w.tooLong[2], "manual")) {
      *startMode = kStartManual;
    } else {
      return false;
    }
    return CheckTransport(w.last, w.tooLong[3], transport);
  }
  // Remove and start: the transport is word 3; word 4 is not looked at.
  return CheckTransport(w.word[2], w.tooLong[2], transport);
}

bool Parse(const char* text, int* action, int* startMode, int* transport) {
  Words words;
  Scan(text, &words);
  return Check(words, action, startMode, transport);
}

}  // namespace command_line
