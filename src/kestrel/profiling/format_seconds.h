#pragma once

#include <string>

namespace kestrel {

// Duration of the per-iteration console statistics: "%.2e" for non-zero
// values below 0.005 in magnitude, so that short regions do not all print as
// 0.00, else "%.2f". At most 63 characters; longer text is cut.
std::string formatSeconds(double seconds);

}  // namespace kestrel
