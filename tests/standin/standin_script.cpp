// Parses the stand-in's script: one key=value per line, '#' starts a
// comment, blanks around keys and values are ignored.
#include "standin_script.h"

#include <cstdlib>
#include <sstream>

namespace standin {
namespace {

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

bool ParseUnsigned(const std::string& value, unsigned& out) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
      value.size() > 9) {
    return false;
  }
  out = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
  return true;
}

bool ApplyNumber(const std::string& key, const std::string& value, Script& s) {
  struct { const char* key; unsigned Script::*field; } const numbers[] = {
      {"start_checkpoints", &Script::startCheckpoints},
      {"checkpoint_interval_ms", &Script::checkpointIntervalMs},
      {"wait_hint_ms", &Script::waitHintMs},
      {"start_delay_ms", &Script::startDelayMs},
      {"stop_delay_ms", &Script::stopDelayMs},
      {"exit_code", &Script::exitCode},
      {"max_life_ms", &Script::maxLifeMs},
  };
  for (const auto& number : numbers) {
    if (key == number.key) return ParseUnsigned(value, s.*number.field);
  }
  return false;
}

bool ApplyLine(const std::string& key, const std::string& value, Script& s) {
  if (key == "outcome") {
    if (value == "running") s.outcome = Outcome::kRunning;
    else if (value == "stall") s.outcome = Outcome::kStall;
    else if (value == "stop") s.outcome = Outcome::kStop;
    else return false;
    return true;
  }
  if (key == "on_stop") {
    if (value == "honour") s.honourStop = true;
    else if (value == "ignore") s.honourStop = false;
    else return false;
    return true;
  }
  return ApplyNumber(key, value, s);
}

}  // namespace

bool ParseScript(const std::string& text, Script& script, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const size_t equals = line.find('=');
    const std::string key = Trim(line.substr(0, equals));
    const std::string value =
        equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
    if (equals == std::string::npos || !ApplyLine(key, value, script)) {
      error = "line " + std::to_string(number) + ": " + line;
      return false;
    }
  }
  return true;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kRunning: return "running";
    case Outcome::kStall: return "stall";
    case Outcome::kStop: return "stop";
  }
  return "?";
}

}  // namespace standin
