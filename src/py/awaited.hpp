// `Awaited`: the awaitable that the module's calls return, driven by asyncio the way a coroutine's
// `await` drives a sub-iterator. One made by `Ref.ask` also stands for the pending ask, which
// closing or throwing into it gives up.
#pragma once

#include <cstdint>
#include <memory>

#include "py/object.hpp"

namespace vorel::py {

class Node;

namespace awaited {

// The class (borrowed, made once per process); null with the error set.
PyObject* type();

// A new Awaited over the future; with a node, it is the ask of that id. Null with the error set.
Object make(Object future, std::shared_ptr<Node> node = nullptr, std::int64_t id = 0);

}  // namespace awaited
}  // namespace vorel::py
