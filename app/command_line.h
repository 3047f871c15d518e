// Scanning and checking of the command-line words. Free of Windows headers
// so that it can be built natively and fuzzed.
#pragma once

#include <cstddef>

namespace command_line {

// Word buffers: words 1 to 3 hold 63 characters, word 4 holds 11.
constexpr std::size_t kWordSize = 64;
constexpr std::size_t kLastWordSize = 12;

struct Words {
  char word[3][kWordSize];
  char last[kLastWordSize];
  // A word longer than its buffer: the buffer holds its first characters,
  // and the word can never be taken for a keyword.
  bool tooLong[4];
};

// One scan of the text: words 1 to 3 end at the next space (a tab belongs to
// the word), word 4 ends at any white space; runs of white space between
// words are skipped; the text after word 4 is ignored. A missing word is
// empty.
void Scan(const char* text, Words* words);

// The checks of the words, in order, writing each value as soon as its word
// has been accepted (the action first, then the start mode of an install,
// then the transport). True when the words form a complete command; the
// values already written stay written on false.
bool Check(const Words& words, int* action, int* startMode, int* transport);

// Scan and Check together.
bool Parse(const char* text, int* action, int* startMode, int* transport);

}  // namespace command_line
