// What the command line and the dialog choose: the action, the start mode
// and the transport, by name. Free of Windows headers: the command-line
// scanner that writes them is also built natively, for fuzzing.
#pragma once

enum Action : int {
  kActionNone = 0,
  kActionInstall = 1,
  kActionRemove = 2,
  kActionStart = 3,
};
enum StartMode : int { kStartAutomatic = 2, kStartManual = 3 };
enum Transport : int { kTransportTcp = 1, kTransportSpx = 2 };
