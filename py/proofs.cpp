// Opening records and set-operation transcripts at the boundary. The
// verifiers answer False for every defect of a record once it is JSON.
#include "py/proofs.hpp"

#include "core/opening.hpp"
#include "core/setop_proof.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/json_bridge.hpp"

namespace kivet::py {

KIVET_METHOD(tree_open) {
  return guard([&] {
    Args a("open", {"cid"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    const Tree& tree = tree_value(self);
    std::optional<Opening> opening = ok(open_path(tree, cid));
    if (!opening) return Ref::borrow(Py_None);
    return json_out(OpeningRecord::of(tree, std::move(*opening)).to_json());
  });
}

KIVET_METHOD(tree_prove) {
  return guard([&] {
    Args a("prove", {"other", "op"}, 2, args, nargs, kwnames);
    PyObject* other = to_tree(a[0], "other");
    std::string name = to_text(a[1], "op");
    std::optional<uint8_t> op = op_code(name);
    if (!op) raise(PyExc_ValueError, "unknown op " + quoted(name));
    SetOpProof proof = ok(prove(tree_value(self), tree_value(other), *op));
    return json_out_text(proof.dump());
  });
}

KIVET_FUNCTION(fn_verify_opening) {
  return guard([&] {
    Args a("verify_opening", {"record"}, 1, args, nargs, kwnames);
    Json value = json_in(a[0]);
    auto record = OpeningRecord::from_json(value);
    return Ref::borrow(record && record->verify() ? Py_True : Py_False);
  });
}

KIVET_FUNCTION(fn_verify_setop) {
  return guard([&] {
    Args a("verify_setop", {"proof"}, 1, args, nargs, kwnames);
    Json value = json_in(a[0]);
    auto proof = SetOpProof::from_json(value);
    return Ref::borrow(proof && proof->verify() ? Py_True : Py_False);
  });
}

}  // namespace kivet::py
