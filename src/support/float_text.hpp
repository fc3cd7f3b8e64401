#pragma once

#include <string>

namespace sferix::support {

// The text form of a double used in error messages and reprs: the shortest digit
// string that reads back to the same double (the digits of Python's repr), written
// positionally, never with an exponent, and without ".0" for integral values.
//   10.0 -> "10", -0.0 -> "-0", 0.1 -> "0.1", 1e-7 -> "0.0000001",
//   1e300 -> "1" followed by 300 zeros, 5e-324 -> "0.", 323 zeros, "5".
// Non-finite values read "nan", "inf" and "-inf" (they never reach a message).
[[nodiscard]] std::string format_float(double value);

}  // namespace sferix::support
