// libFuzzer target: the product's scan and checks of the command-line words
// must agree with the C library's own formatted scan on every text, and stay
// inside their buffers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "command_line.h"
#include "plain_reading.h"

namespace {

[[noreturn]] void Fail(const std::string& text, const char* what) {
  std::fprintf(stderr, "command line [%s]: %s\n", text.c_str(), what);
  std::abort();
}

// A word of the product's scan must be the plain word when it fits its
// buffer, and otherwise hold the plain word's beginning and say it is too
// long.
void CheckWord(const std::string& text, const char* scanned, bool tooLong,
               const std::string& plain, std::size_t capacity) {
  if (plain.size() > capacity) {
    if (!tooLong) Fail(text, "a word longer than its buffer is not flagged");
    if (plain.compare(0, capacity, scanned) != 0) {
      Fail(text, "a long word's buffer does not hold its beginning");
    }
  } else {
    if (tooLong) Fail(text, "a word that fits is flagged as too long");
    if (plain != scanned) Fail(text, "a scanned word differs");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // The command line is a NUL-terminated text: it ends at the first NUL.
  const std::size_t length =
      std::find(data, data + size, std::uint8_t{0}) - data;
  // An exact-size copy, so that a read past the terminator is caught.
  std::unique_ptr<char[]> text(new char[length + 1]);
  std::memcpy(text.get(), data, length);
  text[length] = '\0';
  const std::string plainText(text.get(), length);

  command_line::Words words;
  command_line::Scan(text.get(), &words);
  const plain_reading::Words plain = plain_reading::Split(plainText);
  for (int i = 0; i < 3; ++i) {
    CheckWord(plainText, words.word[i], words.tooLong[i], plain.word[i],
              command_line::kWordSize - 1);
  }
  CheckWord(plainText, words.last, words.tooLong[3], plain.word[3],
            command_line::kLastWordSize - 1);

  // The process starts with no action, manual start and tcp.
  int action = kActionNone, startMode = kStartManual, transport = kTransportTcp;
  const bool accepted =
      command_line::Parse(text.get(), &action, &startMode, &transport);
  const plain_reading::Reading expected = plain_reading::Read(plain);
  if (accepted != expected.accepted) {
    Fail(plainText, accepted ? "accepted, but the grammar rejects it"
                             : "rejected, but the grammar accepts it");
  }
  if (action != expected.action) Fail(plainText, "wrong action");
  if (startMode != expected.startMode) Fail(plainText, "wrong start mode");
  if (transport != expected.transport) Fail(plainText, "wrong transport");
  return 0;
}
