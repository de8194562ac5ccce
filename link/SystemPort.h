// The OS's own port backend, one file per OS (SystemPortPosix.cpp:
// PosixPort; SystemPortWin32.cpp: Win32Port), for the front ends that open
// real ports: the port, its tick counter, and what to tell an operator about
// a port that would not open.
#pragma once

#include <memory>
#include <string>

#include "link/Port.h"

namespace qmb {

std::unique_ptr<Port> MakeSystemPort();
// Stateless: one may serve every port's thread.
std::unique_ptr<TickCounter> MakeSystemTicks();

// What to do about a port that would not open, in one sentence ("" if none).
std::string OpenFailureAdvice(OpenFailure failure);

}  // namespace qmb
