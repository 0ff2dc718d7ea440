// The Python class Profile: one core Profile, always valid.
#pragma once

#include "core/profile.hpp"
#include "py/ref.hpp"

namespace kivet::py {

// The type object, created on first use; borrowed.
PyTypeObject* profile_type();
// A new Profile object holding a copy of p.
Ref new_profile(const Profile& p);
// The core record of a Profile instance (REQUIRES: o is one).
const Profile& profile_value(PyObject* o);

}  // namespace kivet::py
