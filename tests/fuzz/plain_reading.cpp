// The plain reading: the words are what the host C library's formatted scan
// makes of the text with "%[^ ] %[^ ] %[^ ] %s", the grammar's own
// definition, into buffers as long as the text; then the keywords are
// matched against the commands.
#include "plain_reading.h"

#include <cstdio>
#include <vector>

#include "choices.h"

namespace plain_reading {

Words Split(const std::string& text) {
  // No word can be longer than the text: no bound is needed.
  std::vector<std::vector<char>> buffers(4,
                                         std::vector<char>(text.size() + 1, 0));
  std::sscanf(text.c_str(), "%[^ ] %[^ ] %[^ ] %s", buffers[0].data(),
              buffers[1].data(), buffers[2].data(), buffers[3].data());
  Words words;
  for (int i = 0; i < 4; ++i) words.word[i] = buffers[i].data();
  return words;
}

Reading Read(const Words& words) {
  Reading r;
  const std::string& w2 = words.word[1];
  const std::string& w3 = words.word[2];
  const std::string& w4 = words.word[3];
  if (words.word[0] != "nogui") return r;

  const std::string* transport = &w3;
  if (w2 == "install") {
    r.action = kActionInstall;
    if (w3 == "auto") {
      r.startMode = kStartAutomatic;
    } else if (w3 == "manual") {
      r.startMode = kStartManual;
    } else {
      return r;
    }
    transport = &w4;
  } else if (w2 == "remove") {
    r.action = kActionRemove;
  } else if (w2 == "start") {
    r.action = kActionStart;
  } else {
    return r;
  }
  if (*transport == "tcp" || *transport == "spx") {
    r.transport = *transport == "tcp" ? kTransportTcp : kTransportSpx;
    r.accepted = true;
  }
  return r;
}

}  // namespace plain_reading
