// Opening records and set-operation transcripts at the boundary. The
// verifiers answer False for every defect of a record once it is JSON.
#include "py/proofs.hpp"

#include "core/opening.hpp"
#include "core/setop_proof.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/functions.hpp"
#include "py/json_bridge.hpp"

namespace kivet::py {

KIVET_METHOD(tree_open) {
  return guard([&] {
    Args a("open", {"cid"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    const Tree& tree = tree_value(self);
    auto record = ok(interruptible([&]() -> Result<std::optional<std::string>> {
      auto opening = open_path(tree, cid);
      if (!opening) return std::unexpected(opening.error());
      if (!*opening) return std::nullopt;
      return OpeningRecord::of(tree, std::move(**opening)).to_json().dump();
    }));
    if (!record) return Ref::borrow(Py_None);
    return json_out_text(*record);
  });
}

KIVET_METHOD(tree_prove) {
  return guard([&] {
    Args a("prove", {"other", "op"}, 2, args, nargs, kwnames);
    PyObject* other = to_tree(a[0], "other");
    std::string name = to_text(a[1], "op");
    std::optional<uint8_t> op = op_code(name);
    if (!op) raise(PyExc_ValueError, "unknown op " + quoted(name));
    const Tree &x = tree_value(self), &y = tree_value(other);
    std::string text = ok(interruptible([&]() -> Result<std::string> {
      auto proof = prove(x, y, *op);
      if (!proof) return std::unexpected(proof.error());
      return proof->dump();
    }));
    return json_out_text(text);
  });
}

KIVET_FUNCTION(fn_verify_opening) {
  return guard([&] {
    Args a("verify_opening", {"record"}, 1, args, nargs, kwnames);
    Json value = json_in(a[0]);
    bool good = interruptible([&] {
      auto record = OpeningRecord::from_json(value);
      return record && record->verify();
    });
    return Ref::borrow(good ? Py_True : Py_False);
  });
}

KIVET_FUNCTION(fn_verify_setop) {
  return guard([&] {
    Args a("verify_setop", {"proof"}, 1, args, nargs, kwnames);
    Json value = json_in(a[0]);
    bool good = interruptible([&] {
      auto proof = SetOpProof::from_json(value);
      return proof && proof->verify();
    });
    return Ref::borrow(good ? Py_True : Py_False);
  });
}

}  // namespace kivet::py
