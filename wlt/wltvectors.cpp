// The switch between the decoder's AVX2 and baseline paths.
#include "wltvectors.h"

namespace wlt {

namespace {

bool processorHasAvx2()
{
#ifdef WLT_WIDE_VECTORS
    __builtin_cpu_init(); // may run before main
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

const bool kHasAvx2 = processorHasAvx2();
bool wideAllowed = true;

} // namespace

bool wideVectors() { return kHasAvx2 && wideAllowed; }

bool allowWideVectors(bool allow)
{
    wideAllowed = allow;
    return wideVectors();
}

} // namespace wlt
