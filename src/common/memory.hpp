// Refusing work that cannot fit in memory. Under Linux's overcommit a huge
// allocation usually succeeds and the process is killed later, while the
// memory is written; kernels therefore compare what a call will need with the
// machine's memory before allocating anything, and raise instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace orvelta {

// std::bad_alloc (Python MemoryError) whose what() says what was refused.
class MemoryLimitError : public std::bad_alloc {
public:
    explicit MemoryLimitError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Total physical memory of the machine in bytes (0 when it cannot be read).
std::uint64_t physical_memory_bytes() noexcept;

// Memory the system could hand out now without swapping or killing, in bytes:
// MemAvailable plus free swap (0 when unknown, which disables the check).
std::uint64_t available_memory_bytes() noexcept;

// Share of the physical memory that one call may use; the rest is left to the
// system and the interpreter.
inline constexpr double kMaxMemoryShare = 0.9;

// Byte counts are added in double precision: a sum of products of 32-bit
// counts never overflows, and its rounding is irrelevant at these sizes.
inline double bytes_of(double count, std::size_t element_size) noexcept {
    return count * static_cast<double>(element_size);
}

// Throws MemoryLimitError when `bytes` exceed kMaxMemoryShare of the physical
// memory ("<what> needs 24.0 GiB, more than 90% of this machine's 23.5 GiB of
// memory") or the memory available now ("<what> needs 12.0 GiB, more than the
// 9.1 GiB of memory available now").
void require_memory(const char* what, double bytes);

}  // namespace orvelta
