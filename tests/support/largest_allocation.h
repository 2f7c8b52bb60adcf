// For test binaries that must show a request was never made: linking
// largest_allocation.cpp replaces the global allocation functions with ones
// that remember the largest size asked for.
#pragma once

#include <atomic>
#include <cstddef>

namespace korrin::testing {

// The largest allocation requested since the last reset, from any thread.
extern std::atomic<std::size_t> largestRequest;

}  // namespace korrin::testing
