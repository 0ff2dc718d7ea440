// The Python class Index (a coverage index over trees).
#pragma once

#include "py/ref.hpp"

namespace kivet::py {

// The type object, created on first use; borrowed (nullptr with an error set
// when creation failed).
PyTypeObject* index_type();

}  // namespace kivet::py
