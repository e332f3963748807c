#include "common/memory.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace orvelta {

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

std::string gib(double bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / kGiB);
    return text;
}

// Value in kB of one "Name:   123 kB" line of /proc/meminfo, or -1.
long long meminfo_kb(const char* contents, const char* name) noexcept {
    const char* at = std::strstr(contents, name);
    if (at == nullptr) return -1;
    long long kb = -1;
    if (std::sscanf(at + std::strlen(name), " %lld", &kb) != 1) return -1;
    return kb;
}

}  // namespace

std::uint64_t physical_memory_bytes() noexcept {
    // Read once: sysconf asks the kernel (a system call on every pricing call).
    static const std::uint64_t bytes = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long page = ::sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page <= 0) return std::uint64_t{0};
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
    }();
    return bytes;
}

std::uint64_t available_memory_bytes() noexcept {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (f == nullptr) return 0;
    char contents[8192];
    const std::size_t got = std::fread(contents, 1, sizeof contents - 1, f);
    std::fclose(f);
    contents[got] = '\0';
    const long long avail = meminfo_kb(contents, "MemAvailable:");
    const long long swap = meminfo_kb(contents, "SwapFree:");
    if (avail < 0) return 0;
    return static_cast<std::uint64_t>(avail + (swap > 0 ? swap : 0)) * 1024u;
}

void require_memory(const char* what, double bytes) {
    const double physical = static_cast<double>(physical_memory_bytes());
    if (physical <= 0.0) return;
    // Cheap test first: most calls are far below any limit.
    if (!(bytes > physical * 0.01)) return;
    if (bytes > physical * kMaxMemoryShare) {
        throw MemoryLimitError(std::string(what) + " needs " + gib(bytes) +
                               ", more than 90% of this machine's " + gib(physical) + " of memory");
    }
    const double available = static_cast<double>(available_memory_bytes());
    if (available > 0.0 && bytes > available) {
        throw MemoryLimitError(std::string(what) + " needs " + gib(bytes) + ", more than the " +
                               gib(available) + " of memory available now");
    }
}

}  // namespace orvelta
