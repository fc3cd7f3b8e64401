#include "support/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace sferix::support {

void advise_huge_pages(void* start, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t HUGE_FROM = std::size_t{4} << 20;
    const long page = sysconf(_SC_PAGESIZE);
    if (bytes < HUGE_FROM || page <= 0) {
        return;
    }
    const auto page_size = static_cast<std::uintptr_t>(page);
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(start) + page_size - 1) / page_size * page_size;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) / page_size * page_size;
    if (begin < end) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace sferix::support
