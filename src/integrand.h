#pragma once

// f(x) = x * x, the function under the integral sign.
double integrand(const double& x);
