// Large pages asked for with madvise where the system has them (Linux); plain malloc elsewhere.
#include "platform/large_pages.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace cellprox {

void* allocate_large(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t LARGE_PAGE = size_t(1) << 21;
    if (bytes > static_cast<size_t>(-1) - LARGE_PAGE) return nullptr;
    const size_t rounded = (bytes + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1);
    void* block = nullptr;
    if (posix_memalign(&block, LARGE_PAGE, rounded) != 0) return nullptr;
    // Only advice: where the system has no large pages to give, it maps small ones as before.
    madvise(block, rounded, MADV_HUGEPAGE);
    return block;
#else
    return std::malloc(bytes);
#endif
}

}  // namespace cellprox
