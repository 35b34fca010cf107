// A backend's state kept inside a platform object, in storage the object's
// header sets aside: the header shows no backend's handles, and no heap is
// used. For backend files only.
#pragma once

#include <cstddef>
#include <new>

namespace platform {

template <typename State, std::size_t Bytes>
State* make_inline_state(unsigned char (&storage)[Bytes]) {
  static_assert(sizeof(State) <= Bytes && alignof(State) <= alignof(std::max_align_t));
  return new (storage) State;
}

}  // namespace platform
