#pragma once

#include <string>

namespace kestrel::testing {

// Text written through pythonPrintf/pythonPrintLine (stdout) and pythonWarnf
// (stderr) since the last take, in call order.
std::string takeCapturedStdout();
std::string takeCapturedStderr();

// Makes the next interrupt poll of a solve report a pending interrupt.
void requestInterrupt();

}  // namespace kestrel::testing
