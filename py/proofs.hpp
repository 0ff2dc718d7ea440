// Tree methods that write proofs: opening records and set-operation
// transcripts (their verifiers are module functions, see functions.hpp).
#pragma once

#include "py/tree.hpp"

namespace kivet::py {

KIVET_METHOD(tree_open);
KIVET_METHOD(tree_prove);

}  // namespace kivet::py
