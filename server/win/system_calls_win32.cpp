// Forwards every call of the server's seam to the real Windows function.
#include "system_calls.h"

namespace tessard::sys {

// Each forwarding has exactly the signature of the function it forwards to
// (the pointer's initialisation does not compile otherwise), so that no
// argument is converted on the way.
#define WINDOWS_CALL(dll, name, result, parameters, arguments) \
  result name parameters { return ::name arguments; }          \
  [[maybe_unused]] constexpr decltype(&::name) name##Signature = &name;
#define WINDOWS_BYPASS(dll, name, reason)
#include "server_calls.h"
#undef WINDOWS_CALL
#undef WINDOWS_BYPASS

}  // namespace tessard::sys
