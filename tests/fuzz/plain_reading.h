// A second, deliberately plain reading of the command-line words and of the
// grammar, written apart from the product's scanner so the fuzzer can compare.
#pragma once

#include <string>

namespace plain_reading {

// The four words as the scan splits them, without any bound on their length.
struct Words {
  std::string word[4];
};

// What the words amount to, starting from the process's initial values
// (no action, manual start, tcp) and writing each value as its word is
// accepted, in the order action, start mode, transport.
struct Reading {
  bool accepted = false;
  int action = 0;
  int startMode = 3;
  int transport = 1;
};

Words Split(const std::string& text);
Reading Read(const Words& words);

}  // namespace plain_reading
