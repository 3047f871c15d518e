// The stand-in server's behaviour as its script file describes it, and the
// parser of that file (tessard.script, key=value lines; see README.md).
#pragma once

#include <string>

namespace standin {

enum class Outcome {
  kRunning,  // reach SERVICE_RUNNING after the start checkpoints
  kStall,    // stay in SERVICE_START_PENDING, checkpoint frozen
  kStop,     // report SERVICE_STOPPED while still starting
};

struct Script {
  unsigned startCheckpoints = 0;      // START_PENDING reports, checkpoints 1..n
  unsigned checkpointIntervalMs = 0;  // pause after each of those reports
  unsigned waitHintMs = 1000;         // wait hint of every START_PENDING report
  Outcome outcome = Outcome::kRunning;
  bool honourStop = true;             // false: SERVICE_CONTROL_STOP is ignored
  unsigned startDelayMs = 0;          // pause before the first status report
  unsigned stopDelayMs = 0;           // time spent in STOP_PENDING when stopped
  unsigned exitCode = 0;              // dwWin32ExitCode of outcome=stop
  unsigned maxLifeMs = 0;             // stop by itself after this long; 0: never
};

// Parses the script text. Returns false and describes the first bad line in
// `error` when a key is unknown or a value malformed.
bool ParseScript(const std::string& text, Script& script, std::string& error);

const char* OutcomeName(Outcome outcome);

}  // namespace standin
