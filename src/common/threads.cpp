#include "common/threads.hpp"

namespace orvelta {

bool run_parallel(std::size_t count) noexcept { return count >= kMinParallelBatch; }

}  // namespace orvelta
