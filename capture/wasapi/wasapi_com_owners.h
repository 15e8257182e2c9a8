#pragma once

// Owners of what COM hands out: an interface is released, task memory freed. Windows
// only: for the capture backend and the Windows check's helpers.

#include <windows.h>

#include <memory>

namespace qztap {

struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComRelease>;

struct TaskMemFree {
  void operator()(void* memory) const { ::CoTaskMemFree(memory); }
};

}  // namespace qztap
