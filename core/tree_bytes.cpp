#include "core/tree_bytes.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/hash.hpp"
#include "core/support/pool.hpp"

namespace kivet {

namespace {

constexpr std::string_view kMagic = "KVTR";
// Shapes of at least this many branches are rebuilt one level-1 subtree per
// task; smaller ones on the calling thread.
constexpr uint64_t kParallelBranches = 4096;

enum Code : uint32_t { kEmptyCode = 0, kFullCode = 1, kBranchCode = 2 };

uint32_t code_of(const Node& n) {
  return n.is_empty() ? kEmptyCode : n.is_full() ? kFullCode : kBranchCode;
}

template <class T>
void put_be(std::vector<uint8_t>& out, T value) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  for (int shift = 8 * (sizeof(T) - 1); shift >= 0; shift -= 8)
    out.push_back(uint8_t(u >> shift));
}

// Two-bit codes, four to a byte from the low bits up.
class CodeWriter {
 public:
  explicit CodeWriter(std::vector<uint8_t>& out) : out_(out) {}
  void put(uint32_t code) {
    acc_ |= uint64_t(code) << bits_;
    bits_ += 2;
    if (bits_ == 64) flush(8);
  }
  void finish() { flush((bits_ + 7) / 8); }

 private:
  void flush(unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) out_.push_back(uint8_t(acc_ >> (8 * i)));
    acc_ = 0;
    bits_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  unsigned bits_ = 0;
};

// REQUIRES: n.is_branch().
void write_branch(const Node& n, CodeWriter& w, uint64_t& count) {
  ++count;
  for (const Node& c : n.children()) w.put(code_of(c));
  for (const Node& c : n.children())
    if (c.is_branch()) write_branch(c, w, count);
}

std::unexpected<Error> bad(uint64_t offset, std::string_view reason) {
  return fail(cat("bad tree bytes at byte ", offset, ": ", reason));
}

std::unexpected<Error> ends_inside(std::span<const uint8_t> data, std::string_view what) {
  return bad(data.size(), cat("data ends inside ", what));
}

// Big-endian fields; the caller checks that enough bytes remain.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> data) : data_(data) {}
  bool has(size_t n) const { return data_.size() - pos_ >= n; }
  size_t pos() const { return pos_; }
  template <class T>
  T take() {
    std::make_unsigned_t<T> u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u = decltype(u)(u << 8 | data_[pos_ + i]);
    pos_ += sizeof(T);
    return static_cast<T>(u);
  }
  std::string_view text(size_t n) {
    std::string_view s(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

struct Codes {
  const uint8_t* shape;
  uint32_t at(uint64_t j) const { return (shape[j >> 2] >> (2 * (j & 3))) & 3; }

  // Codes j .. j + k - 1 as masks with bit 2i set for code i of each kind.
  // REQUIRES: k <= kRun, and 8 readable bytes from shape + j / 4 (the root
  // follows the shape, so any code index inside the shape will do).
  static constexpr uint32_t kRun = 28;
  struct Run {
    uint64_t full, branch, invalid;
  };
  Run run(uint64_t j, uint32_t k) const {
    uint64_t w;
    std::memcpy(&w, shape + (j >> 2), 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    w = (w >> (2 * (j & 3))) & ((uint64_t(1) << (2 * k)) - 1);
    constexpr uint64_t kLow = 0x5555555555555555ull;
    uint64_t lo = w & kLow, hi = (w >> 1) & kLow;
    return {lo & ~hi, hi & ~lo, lo & hi};
  }
};

uint32_t first_code(uint64_t mask) { return uint32_t(std::countr_zero(mask)) / 2; }

// Walks the codes once, before anything is built, checking everything the
// shape can get wrong in stream order, so the first fault is the one
// reported whatever the thread count. Records where each parallel task's
// subtree starts.
class Scan {
 public:
  Scan(Codes codes, size_t shape_offset, uint32_t a, uint64_t declared,
       uint32_t task_height)
      : codes_(codes), offset_(shape_offset), a_(a), declared_(declared),
        task_height_(task_height) {}

  // The base codes; records where each base's own codes start.
  bool bases(uint32_t b, uint32_t depth, std::vector<uint64_t>& base_starts) {
    for (uint32_t i = 0; i < b; ++i) {
      uint32_t c = codes_.at(next_);
      if (!code_ok(c, next_, depth)) return false;
      ++next_;
    }
    for (uint32_t i = 0; i < b; ++i) {
      base_starts[i] = next_;
      if (codes_.at(i) == kBranchCode && !branch(depth)) return false;
    }
    return true;
  }

  // What is left for the caller: branches seen, codes consumed, the fault.
  uint64_t branches() const { return branches_; }
  uint64_t consumed() const { return next_; }
  const std::vector<uint64_t>& tasks() const { return tasks_; }
  std::optional<Error>& error() { return error_; }
  uint64_t offset_of(uint64_t code) const { return offset_ + code / 4; }

 private:
  bool fault(uint64_t code, std::string_view reason) {
    error_ = bad(offset_of(code), reason).error();
    return false;
  }

  // The code of a node at `height`, read at code index `at`.
  bool code_ok(uint32_t c, uint64_t at, uint32_t height) {
    if (c == 3) return fault(at, "node code 3 is none of Empty (0), Full (1), Branch (2)");
    if (c == kBranchCode && height == 0)
      return fault(at, "a branch at height 0: leaves are Empty or Full");
    return true;
  }

  // The branch whose codes come next, at `height` >= 1.
  bool branch(uint32_t height) {
    if (branches_ == declared_)
      return fault(next_, cat("the shape needs more than the ", declared_,
                              " branches the header declares"));
    ++branches_;
    if (height == task_height_) tasks_.push_back(next_);
    uint64_t first = next_;
    next_ += a_;
    uint32_t full = 0, branches = 0;
    for (uint32_t at = 0; at < a_; at += Codes::kRun) {
      Codes::Run r = codes_.run(first + at, std::min(Codes::kRun, a_ - at));
      if (uint64_t wrong = r.invalid | (height == 1 ? r.branch : 0)) {
        uint64_t j = first + at + first_code(wrong);
        return code_ok(codes_.at(j), j, height - 1);
      }
      full += uint32_t(std::popcount(r.full));
      branches += uint32_t(std::popcount(r.branch));
    }
    if (full == 0 && branches == 0)
      return fault(first, "a branch whose children are all Empty is not canonical");
    if (full == a_)
      return fault(first, "a branch whose children are all Full is not canonical");
    for (uint32_t at = 0; at < a_ && branches; at += Codes::kRun) {
      Codes::Run r = codes_.run(first + at, std::min(Codes::kRun, a_ - at));
      for (uint64_t m = r.branch; m; m &= m - 1, --branches)
        if (!branch(height - 1)) return false;
    }
    return true;
  }

  Codes codes_;
  size_t offset_;
  uint32_t a_;
  uint64_t declared_;
  uint32_t task_height_;  // 0: no tasks
  uint64_t next_ = 0;
  uint64_t branches_ = 0;
  std::vector<uint64_t> tasks_;
  std::optional<Error> error_;
};

// Rebuilds scanned shapes: every node through make_branch().
class Builder {
 public:
  Builder(Codes codes, const Ctx& ctx) : codes_(codes), ctx_(ctx) {}

  // The branch whose codes start at `next` (moved past its subtree).
  Node branch(uint64_t& next, uint32_t height) const {
    uint32_t a = ctx_.hierarchy.a;
    NodeBuffer children(a);
    uint64_t first = next;
    next += a;
    for (uint32_t at = 0; at < a; at += Codes::kRun) {
      Codes::Run r = codes_.run(first + at, std::min(Codes::kRun, a - at));
      for (uint64_t m = r.full; m; m &= m - 1) children[at + first_code(m)] = Node::full();
      // In digit order: each branch's stream follows the one before.
      for (uint64_t m = r.branch; m; m &= m - 1)
        children[at + first_code(m)] = branch(next, height - 1);
    }
    return make_branch(children.span(), height, ctx_);
  }

  // A base branch whose branch children were built by tasks, in order.
  Node assemble(uint64_t first, uint32_t height, std::vector<Node>& done,
                size_t& taken) const {
    uint32_t a = ctx_.hierarchy.a;
    NodeBuffer children(a);
    for (uint32_t i = 0; i < a; ++i) {
      uint32_t c = codes_.at(first + i);
      if (c == kFullCode) children[i] = Node::full();
      else if (c == kBranchCode) children[i] = std::move(done[taken++]);
    }
    return make_branch(children.span(), height, ctx_);
  }

 private:
  Codes codes_;
  const Ctx& ctx_;
};

}  // namespace

std::vector<uint8_t> tree_to_bytes(const Tree& tree, const Profile& p) {
  assert(p.hierarchy() == tree.hierarchy() && p.hash.size() <= 255);
  std::vector<uint8_t> out;
  out.reserve(128);
  for (char c : kMagic) out.push_back(uint8_t(c));
  out.push_back(kTreeBytesVersion);
  out.push_back(uint8_t(p.hash.size()));
  for (char c : p.hash) out.push_back(uint8_t(c));
  put_be(out, p.aperture);
  put_be(out, p.n_base);
  put_be(out, p.lon_0_udeg);
  put_be(out, p.north_square);
  put_be(out, p.south_square);
  put_be(out, p.a_um);
  put_be(out, p.inv_f_nano);
  put_be(out, p.tick_us);
  put_be(out, p.epoch_us);
  put_be(out, tree.depth());
  size_t count_at = out.size();
  put_be(out, uint64_t(0));  // the branch count, filled in below
  uint64_t count = 0;
  CodeWriter w(out);
  for (const Node& n : tree.bases()) w.put(code_of(n));
  for (const Node& n : tree.bases())
    if (n.is_branch()) write_branch(n, w, count);
  w.finish();
  for (int i = 0; i < 8; ++i) out[count_at + i] = uint8_t(count >> (56 - 8 * i));
  Hash root = tree.root();
  out.insert(out.end(), root.begin(), root.end());
  return out;
}

Result<TreeWithProfile> tree_from_bytes(std::span<const uint8_t> data) {
  Cursor in(data);
  if (!in.has(kMagic.size())) return ends_inside(data, "the magic");
  if (in.text(kMagic.size()) != kMagic) return bad(0, "the magic is not \"KVTR\"");
  if (!in.has(1)) return ends_inside(data, "the version");
  if (uint8_t v = in.take<uint8_t>(); v != kTreeBytesVersion)
    return bad(4, cat("unknown version ", uint32_t(v), ", expected ",
                      uint32_t(kTreeBytesVersion)));

  size_t profile_at = in.pos();
  if (!in.has(1)) return ends_inside(data, "the profile");
  size_t name_size = in.take<uint8_t>();
  if (!in.has(name_size + 50)) return ends_inside(data, "the profile");
  Profile p;
  p.hash = std::string(in.text(name_size));
  p.aperture = in.take<uint32_t>();
  p.n_base = in.take<uint32_t>();
  p.lon_0_udeg = in.take<int64_t>();
  p.north_square = in.take<uint8_t>();
  p.south_square = in.take<uint8_t>();
  p.a_um = in.take<uint64_t>();
  p.inv_f_nano = in.take<uint64_t>();
  p.tick_us = in.take<uint64_t>();
  p.epoch_us = in.take<int64_t>();
  if (auto valid = p.validate(); !valid)
    return bad(profile_at, cat("invalid profile: ", valid.error().text()));
  Hierarchy h = p.hierarchy();

  size_t depth_at = in.pos();
  if (!in.has(4)) return ends_inside(data, "the depth");
  uint32_t depth = in.take<uint32_t>();
  if (uint32_t deepest = h.deepest(); depth > deepest)
    return bad(depth_at, cat("depth ", depth, " is deeper than the deepest level, ", deepest));

  if (!in.has(8)) return ends_inside(data, "the branch count");
  uint64_t declared = in.take<uint64_t>();
  size_t shape_at = in.pos();
  // In 128 bits: a hostile count must not wrap into a plausible size.
  using u128 = unsigned __int128;
  u128 codes = u128(h.b) + u128(h.a) * declared;
  u128 shape_size = (codes + 3) / 4;
  u128 total = u128(shape_at) + shape_size + 32;
  if (total > data.size()) {
    if (u128(shape_at) + shape_size > data.size())
      return ends_inside(data, cat("the shape of the ", declared,
                                   " branches the header declares"));
    return ends_inside(data, "the root");
  }
  if (total < data.size())
    return bad(uint64_t(total), cat("trailing bytes after the root (",
                                    data.size() - uint64_t(total), " extra)"));
  size_t root_at = shape_at + size_t(shape_size);

  // A depth-2 tree or deeper with many branches is rebuilt one level-1
  // subtree per task.
  uint32_t task_height = depth >= 2 && declared >= kParallelBranches ? depth - 1 : 0;
  Codes shape{data.data() + shape_at};
  Scan scan(shape, shape_at, h.a, declared, task_height);
  std::vector<uint64_t> base_starts(h.b);
  if (!scan.bases(h.b, depth, base_starts)) return std::unexpected(*scan.error());
  if (scan.branches() != declared)
    return bad(scan.offset_of(scan.consumed()),
               cat("the shape holds ", scan.branches(), " branches, the header declares ",
                   declared));
  if (uint64_t used = uint64_t(codes) % 4; used != 0) {
    uint8_t last = data[root_at - 1];
    if (last >> (2 * used)) return bad(root_at - 1, "padding bits after the shape are not zero");
  }

  auto ctx = make_ctx(p, depth);
  if (!ctx) return std::unexpected(ctx.error());
  Builder build(shape, **ctx);
  std::vector<Node> bases(h.b);
  if (task_height == 0) {
    for (uint32_t i = 0; i < h.b; ++i) {
      uint64_t next = base_starts[i];
      if (shape.at(i) == kFullCode) bases[i] = Node::full();
      else if (shape.at(i) == kBranchCode) bases[i] = build.branch(next, depth);
    }
  } else {
    const std::vector<uint64_t>& tasks = scan.tasks();
    std::vector<Node> done = parallel_map(Pool::shared(), tasks.size(), [&](size_t k) {
      uint64_t next = tasks[k];
      return build.branch(next, task_height);
    });
    size_t taken = 0;
    for (uint32_t i = 0; i < h.b; ++i) {
      if (shape.at(i) == kFullCode) bases[i] = Node::full();
      else if (shape.at(i) == kBranchCode)
        bases[i] = build.assemble(base_starts[i], depth, done, taken);
    }
  }
  Tree tree = Tree::from_bases(std::move(bases), depth, std::move(*ctx));
  Hash stored;
  std::copy(data.begin() + root_at, data.end(), stored.begin());
  if (Hash computed = tree.root(); computed != stored)
    return bad(root_at, cat("the root does not match the shape: stored ", to_hex(stored),
                            ", computed ", to_hex(computed)));
  return TreeWithProfile{std::move(tree), std::move(p)};
}

}  // namespace kivet
