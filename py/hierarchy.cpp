#include "core/hierarchy.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"

namespace kivet::py {

KIVET_FUNCTION(fn_cid_to_suid) {
  return guard([&] {
    Args a("cid_to_suid", {"cid"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    std::string suid = ok(cid_to_suid(cid));
    return text_object(suid);
  });
}

KIVET_FUNCTION(fn_suid_to_cid) {
  return guard([&] {
    Args a("suid_to_cid", {"suid"}, 1, args, nargs, kwnames);
    std::string suid = to_text(a[0], "suid");
    return check(PyLong_FromUnsignedLongLong(ok(suid_to_cid(suid))));
  });
}

}  // namespace kivet::py
