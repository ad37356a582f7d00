// Ownership of a C library's object: a std::unique_ptr that frees it with the library's own
// function, so that `CHandle<pa_context, pa_context_unref>` unrefs its context exactly once.
#pragma once

#include <memory>

namespace voxlet::linux_backend {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};

template <class T, auto Free>
using CHandle = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace voxlet::linux_backend
