// An independent reading of the command-line words and of the grammar, for
// the fuzzer to compare the product's scanner with: the words come from the
// host C library's formatted scan, which defines the grammar.
#pragma once

#include <string>

#include "choices.h"

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
  int action = kActionNone;
  int startMode = kStartManual;
  int transport = kTransportTcp;
};

Words Split(const std::string& text);
Reading Read(const Words& words);

}  // namespace plain_reading
