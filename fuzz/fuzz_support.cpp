#include "fuzz/fuzz_support.h"

volatile uint64_t qv_fuzz::sink = 0;
