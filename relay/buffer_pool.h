// The relay's buffers: a direction takes one when bytes arrive and gives it
// back once they are delivered, so that an idle connection holds none and a
// thread's connections share a few. Each thread keeps up to kKept free ones
// of its own, so the common case takes no lock and makes no system call.
#pragma once

#include <cstddef>

namespace buffer_pool {

inline constexpr std::size_t kBufferSize = 64 * 1024;
inline constexpr std::size_t kKept = 16;

// A buffer of kBufferSize bytes.
char* take();
void give(char* buffer);

}  // namespace buffer_pool
