// Compiled at configure time with the floating-point contract's flags: the
// build stops unless every operation on doubles rounds to binary64.
#include <cfloat>

#if defined(_M_IX86_FP) && _M_IX86_FP < 2
#error "x87 arithmetic: 32-bit x86 without /arch:SSE2"
#elif defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "FLT_EVAL_METHOD is not 0: intermediates wider than binary64 (x87 on 32-bit x86?)"
#endif

int main() { return 0; }
