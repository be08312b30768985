#include "integrand.h"

double integrand(const double& x) { return x * x; }
