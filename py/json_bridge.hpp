// Python values to JSON values and back. Values in go through the
// interpreter's json module (imported by name on every call, as callers may
// have replaced it); values out are read from the compact text directly,
// interruptibly, into what json.loads would give.
#pragma once

#include "core/support/json.hpp"
#include "py/ref.hpp"

namespace kivet::py {

// A str is parsed as JSON text; anything else goes through
// json.dumps(obj, allow_nan=False) first. Failures raise ValueError:
// "not JSON (<Type>: <message>); a missing value is null, not NaN" or
// "not JSON: <parser message>".
Json json_in(PyObject* obj);

// Compact text, then json_out_text.
Ref json_out(const Json& value);
// The objects json.loads gives for the text (dict keys in text order, whole
// floats as float, integers exact). As it goes it runs pending signal
// handlers, stopping with the exception one raises, and lets other threads
// have the lock about every two switch intervals.
Ref json_out_text(std::string_view text);

}  // namespace kivet::py
