// exp and log from IEEE-754 arithmetic alone (+, -, *, /, and exact
// scaling by powers of two), so that the simulator's output does not depend
// on the C library's implementation of the transcendental functions, which
// may differ in the last bit between versions and platforms. Both are
// accurate to about one unit in the last place; the simulator is compiled
// without contraction into fused multiply-adds for the same reason.
#pragma once

namespace calib::sim {

// e^x. Underflows to 0 below about -745 and overflows to +inf above about
// 709.78, like std::exp. NaN gives NaN.
double detExp(double x);

// The natural logarithm of x for x > 0; -inf for 0, NaN for negative x or
// NaN, +inf for +inf.
double detLog(double x);

}  // namespace calib::sim
