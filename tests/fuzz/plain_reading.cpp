// The plain reading: split on the separators a formatted scan with
// "%[^ ] %[^ ] %[^ ] %s" uses, then match the words against the commands.
#include "plain_reading.h"

namespace plain_reading {
namespace {

const std::string kWhiteSpace = " \t\n\v\f\r";

bool IsWhiteSpace(char c) { return kWhiteSpace.find(c) != std::string::npos; }

}  // namespace

Words Split(const std::string& text) {
  Words words;
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    // The first word starts at the very first character; later ones after
    // any run of white space.
    if (i > 0) {
      while (pos < text.size() && IsWhiteSpace(text[pos])) ++pos;
    }
    std::size_t end = pos;
    // Words 1 to 3 end at a space only; word 4 at any white space.
    while (end < text.size() &&
           (i < 3 ? text[end] != ' ' : !IsWhiteSpace(text[end]))) {
      ++end;
    }
    words.word[i] = text.substr(pos, end - pos);
    // A missing word ends the scan: the rest stay empty.
    if (words.word[i].empty()) break;
    pos = end;
  }
  return words;
}

Reading Read(const Words& words) {
  Reading r;
  const std::string& w1 = words.word[0];
  const std::string& w2 = words.word[1];
  const std::string& w3 = words.word[2];
  const std::string& w4 = words.word[3];
  if (w1 != "nogui") return r;

  if (w2 == "install") {
    r.action = 1;
    if (w3 == "auto") {
      r.startMode = 2;
    } else if (w3 == "manual") {
      r.startMode = 3;
    } else {
      return r;
    }
    if (w4 == "tcp" || w4 == "spx") {
      r.transport = w4 == "tcp" ? 1 : 2;
      r.accepted = true;
    }
    return r;
  }

  if (w2 == "remove" || w2 == "start") {
    r.action = w2 == "remove" ? 2 : 3;
    if (w3 == "tcp" || w3 == "spx") {
      r.transport = w3 == "tcp" ? 1 : 2;
      r.accepted = true;
    }
  }
  return r;
}

}  // namespace plain_reading
