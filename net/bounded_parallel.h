#pragma once
// Runs work(0) .. work(count - 1) with at most `parallel` of them at a time:
// the caller's thread and up to parallel - 1 helper threads each take the
// next index until none is left. Returns when every call has returned. A
// helper thread that cannot be created just leaves its share to the others.
// work must not throw (an escaping exception is swallowed so that the other
// calls still run).

#include <cstddef>
#include <functional>

void RunBounded(std::size_t count, std::size_t parallel,
                const std::function<void(std::size_t index)>& work);
