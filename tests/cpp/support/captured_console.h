#pragma once

#include <string>

namespace kestrel::testing {

// Text written through pythonPrintf/pythonPrintLine (stdout) and pythonWarnf
// (stderr) since the last take, in call order.
std::string takeCapturedStdout();
std::string takeCapturedStderr();

}  // namespace kestrel::testing
