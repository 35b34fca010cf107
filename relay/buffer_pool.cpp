#include "relay/buffer_pool.h"

#include <memory>
#include <vector>

namespace buffer_pool {
namespace {

struct FreeBuffers {
  std::vector<std::unique_ptr<char[]>> kept;
};

FreeBuffers& of_this_thread() {
  thread_local FreeBuffers free_buffers;
  return free_buffers;
}

}  // namespace

char* take() {
  FreeBuffers& buffers = of_this_thread();
  if (buffers.kept.empty()) return new char[kBufferSize];
  char* buffer = buffers.kept.back().release();
  buffers.kept.pop_back();
  return buffer;
}

void give(char* buffer) {
  FreeBuffers& buffers = of_this_thread();
  if (buffers.kept.size() >= kKept) {
    delete[] buffer;
    return;
  }
  buffers.kept.emplace_back(buffer);
}

}  // namespace buffer_pool
