// The 80-bit extended-precision number of the x87 layout, as the wire carries
// it: 8 bytes of mantissa (with its explicit integer bit) and 2 bytes of sign
// and 15-bit exponent, little-endian. Converted to and from double in
// software, so that nothing depends on the compiler's long double.
#pragma once

#include <array>
#include <cstdint>

using TExtended80 = std::array<uint8_t, 10>;

// Exact: every double has an extended form.
TExtended80 DoubleToExtended80(double v);
// Rounds the 64-bit mantissa to the nearest double (ties to even); values
// beyond the double range become infinities, tiny ones subnormals or zero.
double Extended80ToDouble(const uint8_t* bytes);
inline double Extended80ToDouble(const TExtended80& e) { return Extended80ToDouble(e.data()); }
