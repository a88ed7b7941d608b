#pragma once
// What quorin tells the service manager: ready once its first commit is in
// the kernel, and a status line such as
//   "2 groups, 3 uplinks in, 1 out, 1 refused row, 1 problem"
// (the refused rows and the prerequisite problems only when there are any).

#include <string>

#include "kor/notify.h"

namespace kor {
namespace quorin {

class quorin;

std::string statusLine(const quorin& controller);

// After every pass of the main loop: readiness, the status line when it
// changed, and the watchdog.
void tellManager(kor::ServiceNotifier& manager, const quorin& controller);

}  // namespace quorin
}  // namespace kor
