// Python values to JSON values and back, through the interpreter's json module
// (imported by name on every call, as callers may have replaced it).
#pragma once

#include "core/support/json.hpp"
#include "py/ref.hpp"

namespace kivet::py {

// A str is parsed as JSON text; anything else goes through
// json.dumps(obj, allow_nan=False) first. Failures raise ValueError:
// "not JSON (<Type>: <message>); a missing value is null, not NaN" or
// "not JSON: <parser message>".
Json json_in(PyObject* obj);

// Compact text, then json.loads.
Ref json_out(const Json& value);
// json.loads of text already written in the compact form.
Ref json_out_text(std::string_view text);

}  // namespace kivet::py
