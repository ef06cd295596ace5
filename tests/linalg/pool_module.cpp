// A shared object holding its own copy of the worker loop, for unload_test.cpp: loaded,
// called and unloaded again and again by one process.
#include <cstdint>
#include <vector>

#include "linalg/parallel.h"

// Sum of i * i for i < count over `threads` workers, each job on whichever worker takes it;
// -1 when the loop fails.
extern "C" __attribute__((visibility("default"))) long long pool_module_sum(int threads,
                                                                            int count) {
  std::vector<long long> squares(static_cast<std::size_t>(count));
  if (tarvo::parallel_for(count, threads, [&](std::int64_t i, int) {
        squares[static_cast<std::size_t>(i)] = i * i;
        return 0;
      }) != 0)
    return -1;
  long long sum = 0;
  for (long long v : squares) sum += v;
  return sum;
}
