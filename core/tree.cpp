#include "core/tree.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <mutex>
#include <new>

#include "core/support/pool.hpp"
#include "core/support/slab.hpp"

namespace kivet {

namespace {

// Subtrees reached by at least this many merged intervals build their
// children as parallel tasks.
constexpr size_t kParallelIntervals = 4096;
// Cid lists at least this long are validated in parallel chunks.
constexpr size_t kParallelCids = 1 << 16;

// A^0 .. A^depth; every entry fits because depth <= deepest.
std::vector<uint64_t> powers(uint32_t a, uint32_t depth) {
  std::vector<uint64_t> p(size_t(depth) + 1, 1);
  for (uint32_t i = 1; i <= depth; ++i) p[i] = p[i - 1] * a;
  return p;
}

// Cid validation without divisions for the common case: the level of a cid
// follows from comparisons with powers of A. Any cid this refuses is checked
// again by Hierarchy::check, which gives the message.
class CidReader {
 public:
  CidReader(Hierarchy h, uint32_t depth) : h_(h), depth_(depth), span_(powers(h.a, depth)) {
    // bounds_[j] = A^j for as long as it fits; later entries saturate.
    uint64_t v = 1;
    bool over = false;
    for (uint32_t j = 0; j < 66; ++j) {
      bounds_[j] = over ? UINT64_MAX : v;
      if (!over && __builtin_mul_overflow(v, uint64_t(h.a), &v)) over = true;
    }
    for (uint32_t bits = 0; bits < 64; ++bits)
      guess_[bits] = level_of(uint64_t(1) << bits, h.a);
  }

  // The level of a valid cid, or false.
  bool level(uint64_t cid, uint32_t& out) const {
    if (cid < h_.a) return false;
    uint32_t level = guess_[63 - __builtin_clzll(cid)];
    // Numbers of one bit length span at most two levels (A >= 2).
    if (bounds_[level + 2] != UINT64_MAX && cid >= bounds_[level + 2]) ++level;
    if (level > depth_) return false;
    // Leading block below A + B: cid < (A + B)·A^level, no overflow since
    // level <= depth <= deepest.
    if (cid >= (uint64_t(h_.a) + h_.b) * bounds_[level]) return false;
    out = level;
    return true;
  }

  // Leaves under one cell of `level`.
  uint64_t width(uint32_t level) const { return span_[depth_ - level]; }

  // The leaf interval of a valid cid, or false.
  bool read(uint64_t cid, Interval& out) const {
    uint32_t l;
    if (!level(cid, l)) return false;
    uint64_t w = width(l);
    out = {cid * w, (cid + 1) * w};
    return true;
  }

  Error error(uint64_t cid) const {
    auto r = h_.check(cid, true, depth_);
    assert(!r);
    return r ? Error::message(cat("cid ", cid, " is invalid")) : r.error();
  }

 private:
  Hierarchy h_;
  uint32_t depth_;
  std::vector<uint64_t> span_;
  uint64_t bounds_[66];
  uint32_t guess_[64];
};

// Index of the first invalid cid in [lo, hi), or hi; fills out[lo, hi).
size_t read_range(const CidReader& reader, std::span<const uint64_t> cids,
                  Interval* out, size_t lo, size_t hi) {
  for (size_t i = lo; i < hi; ++i)
    if (!reader.read(cids[i], out[i])) return i;
  return hi;
}

// What one pass over cids [lo, hi) finds: the first invalid one (or hi),
// the range of levels and of values, and whether they ascend.
struct Scan {
  size_t bad;
  uint32_t min_level = UINT32_MAX, max_level = 0;
  uint64_t min = UINT64_MAX, max = 0;
  bool ascending = true;
};

Scan scan_range(const CidReader& reader, std::span<const uint64_t> cids, size_t lo,
                size_t hi) {
  Scan s{hi};
  uint64_t previous = 0;
  for (size_t i = lo; i < hi; ++i) {
    uint64_t cid = cids[i];
    uint32_t level;
    if (!reader.level(cid, level)) {
      s.bad = i;
      return s;
    }
    s.min_level = std::min(s.min_level, level);
    s.max_level = std::max(s.max_level, level);
    s.min = std::min(s.min, cid);
    s.max = std::max(s.max, cid);
    s.ascending &= cid >= previous;
    previous = cid;
  }
  return s;
}

// LSD radix sort of keys, all in [lo, hi], by their low `bits` bits less
// lo (the others being equal): one pass counts every digit, then one pass
// per digit moves the keys between `v` and `tmp`. The result is in `v`.
void sort_low_bits(std::span<uint64_t> v, std::span<uint64_t> tmp, uint64_t lo, int bits) {
  if (v.size() < 256) {
    std::sort(v.begin(), v.end());
    return;
  }
  if (bits == 0) return;
  int passes = (bits + 11) / 12, digit = (bits + passes - 1) / passes;
  size_t buckets = size_t(1) << digit, mask = buckets - 1;
  std::vector<size_t> count(size_t(passes) * buckets);
  for (uint64_t k : v) {
    k -= lo;
    for (int p = 0; p < passes; ++p) ++count[p * buckets + ((k >> (p * digit)) & mask)];
  }
  uint64_t* from = v.data();
  uint64_t* to = tmp.data();
  for (int p = 0; p < passes; ++p) {
    size_t* c = &count[p * buckets];
    int shift = p * digit;
    // A digit that is the same in every key moves nothing.
    if (c[((from[0] - lo) >> shift) & mask] == v.size()) continue;
    size_t sum = 0;
    for (size_t b = 0; b < buckets; ++b) sum += std::exchange(c[b], sum);
    for (size_t i = 0; i < v.size(); ++i) {
      uint64_t k = from[i];
      to[c[((k - lo) >> shift) & mask]++] = k;
    }
    std::swap(from, to);
  }
  if (from != v.data()) std::copy(from, from + v.size(), v.data());
}

// Sorts keys all in [lo, hi]: one pass splits them by their top bits, then
// the parts are sorted as tasks on the pool.
void sort_keys(std::vector<uint64_t>& v, uint64_t lo, uint64_t hi) {
  uint64_t range = hi - lo;
  int bits = range ? 64 - __builtin_clzll(range) : 0;
  std::vector<uint64_t> tmp(v.size());
  constexpr int kTop = 8;
  if (v.size() < kParallelCids || bits <= kTop) {
    sort_low_bits(v, tmp, lo, bits);
    return;
  }
  int shift = bits - kTop;
  std::array<size_t, (1 << kTop) + 1> start{};
  for (uint64_t k : v) ++start[((k - lo) >> shift) + 1];
  for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  std::array<size_t, 1 << kTop> next;
  std::copy(start.begin(), start.end() - 1, next.begin());
  for (uint64_t k : v) tmp[next[(k - lo) >> shift]++] = k;
  v.swap(tmp);
  // Consecutive parts grouped into a few tasks of about equal size.
  Pool& pool = Pool::shared();
  size_t tasks = size_t(pool.size() + 1) * 4;
  parallel_for(pool, tasks, [&](size_t t) {
    size_t first = v.size() * t / tasks, last = v.size() * (t + 1) / tasks;
    for (size_t b = 0; b < (1u << kTop); ++b) {
      // Each part goes to the task holding its first key.
      if (start[b] == start[b + 1] || start[b] < first || start[b] >= last) continue;
      std::span<uint64_t> part(v.data() + start[b], start[b + 1] - start[b]);
      sort_low_bits(part, std::span(tmp.data() + start[b], part.size()), lo, shift);
    }
  });
}

// The merged leaf intervals of ascending cids whose cells each hold `width`
// leaves: equal and consecutive cids join. Large inputs are cut into pieces
// counted and filled as tasks; a piece writes the runs that start in it.
std::vector<Interval> merge_cells(std::span<const uint64_t> sorted, uint64_t width) {
  size_t n = sorted.size();
  auto starts_run = [&](size_t i) { return i == 0 || sorted[i] > sorted[i - 1] + 1; };
  size_t pieces = n < kParallelCids ? 1 : size_t(Pool::shared().size() + 1) * 4;
  auto bounds = [&](size_t p) { return n * p / pieces; };
  std::vector<size_t> offset(pieces + 1);
  auto count = [&](size_t p) {
    size_t runs = 0;
    for (size_t i = bounds(p); i < bounds(p + 1); ++i) runs += starts_run(i);
    offset[p + 1] = runs;
  };
  if (pieces == 1)
    count(0);
  else
    parallel_for(Pool::shared(), pieces, count);
  for (size_t p = 0; p < pieces; ++p) offset[p + 1] += offset[p];
  std::vector<Interval> out(offset[pieces]);
  auto fill = [&](size_t p) {
    Interval* o = out.data() + offset[p];
    size_t i = bounds(p), end = bounds(p + 1);
    while (i < end && !starts_run(i)) ++i;
    while (i < end) {
      uint64_t first = sorted[i], last = first;
      for (++i; i < n && sorted[i] <= last + 1; ++i) last = sorted[i];
      *o++ = {first * width, (last + 1) * width};
    }
  };
  if (pieces == 1)
    fill(0);
  else
    parallel_for(Pool::shared(), pieces, fill);
  return out;
}

// LSD radix sort of intervals by start over the bits that vary; stable, so
// equal starts keep their order (merging takes the larger end anyway).
void sort_by_start(std::vector<Interval>& v) {
  if (v.size() < 256) {
    std::sort(v.begin(), v.end(),
              [](const Interval& x, const Interval& y) { return x.lo < y.lo; });
    return;
  }
  uint64_t lo = UINT64_MAX, hi = 0;
  for (const Interval& i : v) {
    lo = std::min(lo, i.lo);
    hi = std::max(hi, i.lo);
  }
  uint64_t range = hi - lo;
  if (range == 0) return;
  int bits = 64 - __builtin_clzll(range);
  constexpr int kDigit = 11;
  constexpr size_t kBuckets = size_t(1) << kDigit;
  std::vector<Interval> tmp(v.size());
  std::vector<size_t> count(kBuckets);
  for (int shift = 0; shift < bits; shift += kDigit) {
    std::fill(count.begin(), count.end(), 0);
    for (const Interval& i : v) ++count[((i.lo - lo) >> shift) & (kBuckets - 1)];
    size_t sum = 0;
    for (size_t& c : count) sum += std::exchange(c, sum);
    for (const Interval& i : v) tmp[count[((i.lo - lo) >> shift) & (kBuckets - 1)]++] = i;
    v.swap(tmp);
  }
}

// Intervals [first, last) of `merged` that meet [lo, hi).
std::span<const Interval> meeting(std::span<const Interval> merged, uint64_t lo,
                                  uint64_t hi) {
  auto first = std::partition_point(merged.begin(), merged.end(),
                                    [lo](const Interval& i) { return i.hi <= lo; });
  auto last = std::partition_point(first, merged.end(),
                                   [hi](const Interval& i) { return i.lo < hi; });
  return {first, last};
}

// sum_i x[height][i] * sum(child i) over the non-Empty children (Full
// counts 1), from the kinds words and the Branch children in digit order.
ShapeSum shape_sum_of(uint32_t a, uint32_t height, const uint64_t* kinds,
                           const Node* kids) {
  namespace ss = shape_sum;
  const ss::Keys& keys = ss::keys();
  ShapeSum sum;
  for (uint32_t w = 0, rank = 0; w < Branch::kind_words(a); ++w) {
    for (uint64_t word = kinds[w]; word; word &= word - 1) {
      uint32_t bit = uint32_t(std::countr_zero(word));
      uint32_t i = w * 32 + bit / 2;
      uint64_t k[2];
      if (height < ss::kHeights && i < ss::kDigits) {
        k[0] = keys.table[height][i][0];
        k[1] = keys.table[height][i][1];
      } else {
        ss::key(height, i, k);
      }
      if (bit % 2) {  // the high bit of a kind: a Branch child
        const ShapeSum& c = kids[rank++].shape_sum();
        k[0] = ss::mul(k[0], c.lane[0]);
        k[1] = ss::mul(k[1], c.lane[1]);
      }
      sum.lane[0] = ss::add(sum.lane[0], k[0]);
      sum.lane[1] = ss::add(sum.lane[1], k[1]);
    }
  }
  return sum;
}

bool check_node(const Node& n, uint32_t height, const Ctx& ctx) {
  if (!n.is_branch()) return true;
  if (height == 0 || n.branch().arity != ctx.hierarchy.a) return false;
  bool all_empty = true, all_full = true;
  for (const Node& c : n.children()) {
    all_empty &= c.is_empty();
    all_full &= c.is_full();
    if (!check_node(c, height - 1, ctx)) return false;
  }
  if (all_empty || all_full) return false;
  const Branch& b = n.branch();
  if (!(b.sum == shape_sum_of(b.arity, height, b.kinds(), b.branch_children())))
    return false;
  for (uint32_t i = 0, n = b.branches(); i < n; ++i)
    if (!(b.child_sums()[i] == b.branch_children()[i].shape_sum())) return false;
  if (!n.hash_ready()) return true;
  Sha256 s;
  s.update(kTagNode);
  for (const Node& c : n.children()) s.update(hash_at(c, height - 1, ctx));
  return s.finish() == n.stored_hash();
}

// The node hash of a branch whose children's hashes are all at hand.
Hash hash_children(const Branch& b, uint32_t height, const Ctx& ctx) {
  uint32_t a = b.arity;
  if (height == 1 && ctx.leaf_parents) {
    // Leaves only: the node is one of 2^A, all hashed in advance.
    uint32_t mask = 0;
    for (uint32_t i = 0; i < a; ++i) mask |= uint32_t(b.kind(i) == 1) << i;
    return ctx.leaf_parents[mask];
  }
  // A leading run of uniform children resumes from a precomputed state.
  uint32_t first = b.kind(0), run = 0;
  if (first != 2)
    while (run < a && b.kind(run) == first) ++run;
  Sha256 s = ctx.node_prefix(first == 1, height - 1, run);
  Node::Children children(&b);
  auto it = children.begin();
  for (uint32_t i = 0; i < run; ++i) ++it;
  for (uint32_t i = run; i < a; ++i, ++it) s.update(hash_at(*it, height - 1, ctx));
  return s.finish();
}

// Branch::branches() without the library call that std::popcount becomes
// on a baseline x86-64 target: freeing a tree counts once per branch.
uint32_t branch_children(const Branch& b) {
  uint32_t n = 0;
  for (uint32_t j = 0; j < Branch::kind_words(b.arity); ++j) {
    uint64_t x = (b.kinds()[j] >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    n += uint32_t((x * 0x0101010101010101ull) >> 56);
  }
  return n;
}

}  // namespace

void Node::destroy(Branch* b) {
  // Post-order, as the tree was built: the blocks are reused in this order,
  // so the next tree is laid out as compactly as this one.
  Node* c = b->branch_children();
  uint32_t branches = branch_children(*b);
  for (uint32_t i = 0; i < branches; ++i)
    __builtin_prefetch(reinterpret_cast<const void*>(c[i].word_), 1);
  for (uint32_t i = 0; i < branches; ++i) {
    if (!c[i].counted()) continue;
    auto* d = reinterpret_cast<Branch*>(c[i].word_);
    // A sole owner needs no atomic update: nobody else can take a reference.
    if (d->refs.load(std::memory_order_acquire) == 1 ||
        d->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      destroy(d);
  }
  size_t bytes = Branch::bytes(b->arity, branches);
  b->~Branch();
  slab::deallocate(b, bytes);
}

const Hash& compute_branch_hash(const Branch& b, uint32_t height, const Ctx& ctx) {
  uint16_t seen = Branch::kNone;
  if (b.state.compare_exchange_strong(seen, Branch::kBusy, std::memory_order_acquire)) {
    // Children first; they are claimed the same way, always below this
    // branch, so waits only point downwards and cannot form a cycle.
    const Node* c = b.branch_children();
    for (uint32_t i = 0, n = b.branches(); i < n; ++i) __builtin_prefetch(&c[i].branch());
    b.hash() = hash_children(b, height, ctx);
    if (b.state.exchange(Branch::kReady, std::memory_order_release) == Branch::kWaited)
      b.state.notify_all();
    return b.hash();
  }
  // Another thread is computing it: sleep rather than compute it twice.
  while (seen != Branch::kReady) {
    if (seen == Branch::kBusy &&
        !b.state.compare_exchange_weak(seen, Branch::kWaited, std::memory_order_acquire))
      continue;
    b.state.wait(Branch::kWaited, std::memory_order_acquire);
    seen = b.state.load(std::memory_order_acquire);
  }
  return b.hash();
}

// A branch of `a` children at `height` with the given kinds words (unhashed),
// taking `branches` Branch nodes from `kids` in digit order. Sole allocator of
// branches; the callers have ruled out uniform children.
alignas(64) unsigned char g_shared_blocks[kShared.bytes];

namespace {

static_assert(Branch::bytes(kSharedAperture, 0) == 64 && Branch::bytes(kSharedAperture, 1) == 88);

uintptr_t shared_word(uint32_t a, uint32_t h, size_t index) {
  const SharedTable& t = kShared.table[a][h];
  return reinterpret_cast<uintptr_t>(g_shared_blocks) + t.offset + index * t.stride;
}

// The index of a shared block of aperture a at height h in its table.
size_t shared_index(uint32_t a, uint32_t h, uintptr_t word) {
  const SharedTable& t = kShared.table[a][h];
  return (word - reinterpret_cast<uintptr_t>(g_shared_blocks) - t.offset) / t.stride;
}

Branch* shared_at(uintptr_t word, uint32_t a, uint64_t kinds) {
  auto* b = new (reinterpret_cast<void*>(word)) Branch;
  b->refs.store(1, std::memory_order_relaxed);
  b->arity = uint16_t(a);
  b->state.store(Branch::kNone, std::memory_order_relaxed);
  b->kinds()[0] = kinds;
  return b;
}

}  // namespace

void fill_shared_blocks(uint32_t a) {
  // call_once alone costs a thread-local lookup per call in a shared library.
  static std::atomic<bool> ready[kSharedAperture + 1];
  if (ready[a].load(std::memory_order_acquire)) return;
  static std::once_flag filled[kSharedAperture + 1];
  std::call_once(filled[a], [a] {
    uint32_t masks = 1u << a;
    for (uint32_t h = 1; h <= shared_height(a); ++h) {
      for (size_t i = 0; i < kShared.table[a][h].count; ++i) {
        // Every entry ends in a mask; those of no Full leaf or of all are unused.
        uint32_t mask = uint32_t(i % masks);
        if (mask == 0 || mask + 1 == masks) continue;
        uintptr_t word = shared_word(a, h, i);
        if (h == 1) {
          uint64_t kinds = 0;
          for (uint32_t d = 0; d < a; ++d) kinds |= uint64_t(mask >> d & 1) << (2 * d);
          shared_at(word, a, kinds)->sum = shape_sum_of(a, 1, &kinds, nullptr);
          continue;
        }
        size_t below = kShared.table[a][h - 1].count;
        auto digit = uint32_t(i / below);
        Node child(shared_word(a, h - 1, i % below));
        uint64_t kinds = uint64_t(2) << (2 * digit);
        Branch* b = shared_at(word, a, kinds);
        b->sum = shape_sum_of(a, h, &kinds, &child);
        new (b->branch_children()) Node(child);
        b->child_sums()[0] = child.shape_sum();
      }
    }
    ready[a].store(true, std::memory_order_release);
  });
}

Node shared_leaf_chain(uint32_t a, uint32_t height, uint64_t leaf) {
  assert(height >= 1 && height <= shared_height(a));
  fill_shared_blocks(a);
  size_t index = size_t(1) << (leaf % a);
  for (uint32_t h = 2; h <= height; ++h) {
    leaf /= a;
    index += (leaf % a) * kShared.table[a][h - 1].count;
  }
  return Node(shared_word(a, height, index));
}

Node new_branch(uint32_t a, uint32_t height, const uint64_t* kinds, Node* kids,
                uint32_t branches) {
  if (height <= shared_height(a)) {
    fill_shared_blocks(a);
    uint64_t k = kinds[0];
    if (height == 1) {
      // Children of height 0 are uniform: the kinds are a mask of Full ones.
      assert(branches == 0);
      uint32_t mask = 0;
      for (uint32_t i = 0; i < a; ++i) mask |= uint32_t(k >> (2 * i) & 1) << i;
      return Node(shared_word(a, 1, mask));
    }
    if (branches == 1 && (k & (k - 1)) == 0 && is_shared_block(kids[0].word_)) {
      // One Branch child, itself shared, and nothing else.
      uint32_t digit = uint32_t(std::countr_zero(k)) / 2;
      size_t child = shared_index(a, height - 1, kids[0].word_);
      return Node(shared_word(a, height, digit * kShared.table[a][height - 1].count + child));
    }
  }
  // The shape sum first: the children's headers are still in cache.
  ShapeSum sum = shape_sum_of(a, height, kinds, kids);
  size_t bytes = Branch::bytes(a, branches);
  static_assert(alignof(Branch) <= 8, "branch blocks are 8-byte aligned");
  void* mem = slab::allocate(bytes);
  // Default-initialised: the hash bytes stay unwritten until asked for.
  auto* b = new (mem) Branch;
  b->refs.store(1, std::memory_order_relaxed);
  b->arity = uint16_t(a);
  b->state.store(Branch::kNone, std::memory_order_relaxed);
  b->sum = sum;
  std::copy(kinds, kinds + Branch::kind_words(a), b->kinds());
  // Positions from what is known here: reading the kinds back from the new
  // block would wait for its line.
  Node* out = reinterpret_cast<Node*>(b->kinds() + Branch::kind_words(a));
  auto* sums = reinterpret_cast<ShapeSum*>(out + branches);
  for (uint32_t i = 0; i < branches; ++i) {
    sums[i] = kids[i].shape_sum();
    new (out + i) Node(std::move(kids[i]));
  }
  return Node(reinterpret_cast<uintptr_t>(b));
}

Node make_branch(std::span<Node> children, uint32_t height, const Ctx& ctx) {
  assert(children.size() == ctx.hierarchy.a && height >= 1);
  (void)ctx;
  uint32_t a = uint32_t(children.size());
  uint32_t branches = 0, full = 0;
  // Kinds of up to 4096 children; Branch children gathered to the front.
  uint64_t kinds[Branch::kind_words(4096)];
  std::fill_n(kinds, Branch::kind_words(a), 0);
  for (uint32_t i = 0; i < a; ++i) {
    Node& c = children[i];
    uint64_t k = c.is_empty() ? 0 : c.is_full() ? 1 : 2;
    kinds[i / 32] |= k << (2 * (i % 32));
    full += k == 1;
    if (k == 2) {
      if (branches != i) children[branches] = std::move(c);
      ++branches;
    }
  }
  if (branches == 0 && full == 0) return Node::empty();
  if (full == a) return Node::full();
  return new_branch(a, height, kinds, children.data(), branches);
}

Node make_run_branch(uint32_t a, uint32_t height, uint32_t first, uint32_t last, Node low,
                     Node high) {
  assert(first <= last && last < a && a <= 32);
  if (first == last) high = Node::empty();
  auto kind = [](const Node& n) -> uint64_t { return n.is_empty() ? 0 : n.is_full() ? 1 : 2; };
  // Full strictly between first and last: kind 1 in each 2-bit slot.
  uint64_t inside = last > first + 1
                        ? (0x5555555555555555ull >> (64 - 2 * (last - first - 1)))
                              << (2 * (first + 1))
                        : 0;
  uint64_t kinds = inside | kind(low) << (2 * first) | kind(high) << (2 * last);
  uint64_t all_full = 0x5555555555555555ull >> (64 - 2 * a);
  if (kinds == 0) return Node::empty();
  if (kinds == all_full) return Node::full();
  Node kids[2];
  uint32_t branches = 0;
  if (low.is_branch()) kids[branches++] = std::move(low);
  if (high.is_branch()) kids[branches++] = std::move(high);
  return new_branch(a, height, &kinds, kids, branches);
}

void merge_intervals(std::vector<Interval>& v) {
  sort_by_start(v);
  size_t kept = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (kept && v[i].lo <= v[kept - 1].hi) {
      v[kept - 1].hi = std::max(v[kept - 1].hi, v[i].hi);
    } else {
      v[kept++] = v[i];
    }
  }
  v.resize(kept);
}

namespace {

// Powers of one aperture up to 2^64 and their reciprocals, so that a chain
// finds its digits by multiplying.
struct Powers {
  uint64_t pow[65];
  uint64_t inv[65];  // floor((2^64 - 1) / pow[i])
  // n / pow[i]: the estimate is the quotient or one less.
  uint64_t div(uint64_t n, uint32_t i) const {
    uint64_t q = uint64_t((unsigned __int128)n * inv[i] >> 64);
    return q + (n - q * pow[i] >= pow[i]);
  }
};

// For apertures 2..32 (the chains' case), made once.
const Powers& powers_of(uint32_t a) {
  static const std::array<Powers, 33> table = [] {
    std::array<Powers, 33> t{};
    for (uint32_t x = 2; x <= 32; ++x) {
      Powers& p = t[x];
      uint64_t v = 1;
      for (uint32_t i = 0; i < 65; ++i) {
        p.pow[i] = v;
        p.inv[i] = UINT64_MAX / v;
        if (__builtin_mul_overflow(v, uint64_t(x), &v)) v = UINT64_MAX;
      }
    }
    return t;
  }();
  return table[a];
}

// The node over [lo, lo + A^height) for the one interval `v` meeting it: the
// scattered cells of most trees end in such chains.
// REQUIRES: v meets the node, A <= 32.
Node build_one(Interval v, uint64_t lo, uint32_t height, uint32_t a, const Powers& p) {
  uint64_t hi = lo + p.pow[height];
  if (v.lo <= lo && v.hi >= hi) return Node::full();
  // One leaf near the bottom, as scattered cells end: a shared chain.
  if (v.hi - v.lo == 1 && height <= shared_height(a)) return shared_leaf_chain(a, height, v.lo - lo);
  uint64_t step = p.pow[height - 1];
  uint64_t from = std::max(v.lo, lo) - lo, to = std::min(v.hi, hi) - lo;
  auto first = uint32_t(p.div(from, height - 1)), last = uint32_t(p.div(to - 1, height - 1));
  uint64_t first_lo = lo + first * step, last_lo = lo + last * step;
  Node low = build_one(v, first_lo, height - 1, a, p);
  Node high = last != first ? build_one(v, last_lo, height - 1, a, p) : Node::empty();
  return make_run_branch(a, height, first, last, std::move(low), std::move(high));
}

// The node over [lo, hi) at `height`. REQUIRES: `mine` holds exactly the
// intervals that meet [lo, hi), sorted and disjoint.
Node build_inside(std::span<const Interval> mine, uint64_t lo, uint64_t hi,
                  uint32_t height, const Ctx& ctx) {
  if (mine.empty()) return Node::empty();
  // At height 0 a meeting interval covers the one leaf, so this decides.
  if (mine.front().lo <= lo && mine.front().hi >= hi) return Node::full();
  uint32_t a = ctx.hierarchy.a;
  // A chain is short work; nodes that split poll.
  if (mine.size() == 1 && a <= 32) return build_one(mine.front(), lo, height, a, powers_of(a));
  if (height >= 2) poll_cancel();
  uint64_t step = (hi - lo) / a;
  NodeBuffer buffer(a);
  std::span<Node> children = buffer.span();
  // One pass hands every child its intervals: starts only move forward, and
  // at most one interval straddles each boundary.
  // Near the top, where a node holds many intervals, its children's are
  // found by bisection instead.
  bool bisect = mine.size() > 64;
  auto child_span = [&](size_t& first, uint32_t i) {
    uint64_t cl = lo + i * step, ch = cl + step;
    size_t last;
    if (bisect) {
      auto from = std::partition_point(mine.begin() + first, mine.end(),
                                       [cl](const Interval& v) { return v.hi <= cl; });
      auto to = std::partition_point(from, mine.end(),
                                     [ch](const Interval& v) { return v.lo < ch; });
      first = size_t(from - mine.begin());
      last = size_t(to - mine.begin());
    } else {
      while (first < mine.size() && mine[first].hi <= cl) ++first;
      last = first;
      while (last < mine.size() && mine[last].lo < ch) ++last;
    }
    return mine.subspan(first, last - first);
  };
  if (mine.size() >= kParallelIntervals) {
    std::vector<std::span<const Interval>> parts(a);
    size_t first = 0;
    for (uint32_t i = 0; i < a; ++i) parts[i] = child_span(first, i);
    parallel_for(Pool::shared(), a, [&](size_t i) {
      children[i] = build_inside(parts[i], lo + i * step, lo + (i + 1) * step, height - 1, ctx);
    });
  } else if (bisect) {
    size_t first = 0;
    for (uint32_t i = 0; i < a; ++i) {
      std::span<const Interval> part = child_span(first, i);
      if (!part.empty())
        children[i] = build_inside(part, lo + i * step, lo + (i + 1) * step, height - 1, ctx);
    }
  } else {
    // Few intervals: visit only the children they meet, found from where
    // each interval starts, rather than test every child for intervals.
    uint64_t done = lo;  // children below this are built
    size_t j = 0, n = mine.size();
    while (j < n) {
      uint64_t start = std::max(mine[j].lo, done);
      if (start >= hi) break;
      auto i = uint32_t((start - lo) / step);
      uint64_t cl = lo + i * step, ch = cl + step;
      size_t k = j + 1;
      while (k < n && mine[k].lo < ch) ++k;
      children[i] = build_inside(mine.subspan(j, k - j), cl, ch, height - 1, ctx);
      done = ch;
      // The last interval may reach on into the next child.
      j = mine[k - 1].hi > ch ? k - 1 : k;
    }
  }
  return make_branch(children, height, ctx);
}

}  // namespace

Node build_node(std::span<const Interval> merged, uint64_t lo, uint64_t hi,
                uint32_t height, const Ctx& ctx) {
  return build_inside(meeting(merged, lo, hi), lo, hi, height, ctx);
}

Result<Tree> Tree::empty(uint32_t a, uint32_t b, uint32_t depth, CtxRef ctx) {
  if (ctx->hierarchy != Hierarchy{a, b})
    return fail("hashing context does not match the hierarchy");
  if (ctx->ladders.reach() < depth)
    return fail(cat("context ladders reach depth ", ctx->ladders.reach(),
                    ", tree needs ", depth));
  Hierarchy h{a, b};
  if (uint32_t deepest = h.deepest(); depth > deepest)
    return fail(cat("depth ", depth, " is deeper than the deepest level, ", deepest));
  return Tree(std::vector<Node>(b), std::move(ctx), h, depth);
}

Result<Tree> Tree::from_cells(std::span<const uint64_t> cids, uint32_t depth,
                              CtxRef ctx) {
  Hierarchy h = ctx->hierarchy;
  if (auto e = empty(h.a, h.b, depth, ctx); !e) return e;
  CidReader reader(h, depth);
  Scan all{cids.size()};
  auto join = [&all](const Scan& s) {
    all.min_level = std::min(all.min_level, s.min_level);
    all.max_level = std::max(all.max_level, s.max_level);
    all.ascending &= s.ascending && s.min >= all.max;
    all.min = std::min(all.min, s.min);
    all.max = std::max(all.max, s.max);
  };
  if (cids.size() >= kParallelCids) {
    auto scans = parallel_chunks(Pool::shared(), cids.size(), [&](size_t lo, size_t hi) {
      return scan_range(reader, cids, lo, hi);
    });
    // The chunks are in input order: the first chunk that stopped early holds
    // the first bad cid.
    size_t n = scans.size();
    for (size_t c = 0; c < n && all.bad == cids.size(); ++c) {
      if (scans[c].bad != cids.size() * (c + 1) / n)
        all.bad = scans[c].bad;
      else
        join(scans[c]);
    }
  } else {
    Scan s = scan_range(reader, cids, 0, cids.size());
    all.bad = s.bad;
    join(s);
  }
  if (all.bad != cids.size()) return std::unexpected(reader.error(cids[all.bad]));
  std::vector<Interval> merged;
  if (all.min_level == all.max_level) {
    // Cells of one level: sorting the cids (8 bytes each, unless they ascend
    // already) orders their intervals, all of one width.
    std::vector<uint64_t> keys;
    std::span<const uint64_t> sorted = cids;
    if (!all.ascending) {
      keys.assign(cids.begin(), cids.end());
      sort_keys(keys, all.min, all.max);
      sorted = keys;
    }
    merged = merge_cells(sorted, reader.width(all.min_level));
  } else if (!cids.empty()) {
    merged.resize(cids.size());
    auto read = [&](size_t lo, size_t hi) {
      return read_range(reader, cids, merged.data(), lo, hi);
    };
    if (cids.size() >= kParallelCids)
      parallel_chunks(Pool::shared(), cids.size(), read);
    else
      read(0, cids.size());
    merge_intervals(merged);
  }
  return from_intervals(std::move(merged), depth, std::move(ctx));
}

Result<Tree> Tree::from_intervals(std::vector<Interval> merged, uint32_t depth,
                                  CtxRef ctx) {
  Hierarchy h = ctx->hierarchy;
  auto tree = empty(h.a, h.b, depth, ctx);
  if (!tree) return tree;
  uint64_t width = powers(h.a, depth)[depth];
  const Ctx& c = *ctx;
  std::span<const Interval> all(merged);
  std::vector<Node> bases;
  try {
    bases = parallel_map(Pool::shared(), h.b, [&](size_t b) {
      uint64_t lo = (uint64_t(h.a) + b) * width;
      return build_node(all, lo, lo + width, depth, c);
    });
  } catch (const std::bad_alloc&) {
    // What was built is freed by now: give the memory back while it is short.
    slab::trim();
    throw;
  }
  return Tree(std::move(bases), std::move(ctx), h, depth);
}

Tree Tree::from_bases(std::vector<Node> bases, uint32_t depth, CtxRef ctx) {
  Hierarchy h = ctx->hierarchy;
  assert(bases.size() == h.b && depth <= ctx->ladders.reach());
  return Tree(std::move(bases), std::move(ctx), h, depth);
}

namespace {

// A tree with at least this many unhashed branches a few levels below its
// bases hashes them as pool tasks; smaller ones never wake the workers.
constexpr size_t kParallelHashNodes = 64;
// How far down to look for them, and how many are enough to stop looking.
constexpr uint32_t kHashLevels = 3;
constexpr size_t kHashFrontier = 256;

// Hashes the unhashed branches a few levels below the bases over the pool, so
// that only the levels above are left for the calling thread. Nothing is
// claimed while the pool is awaited: each task hashes one subtree to the end.
void hash_frontier(const std::vector<Node>& bases, uint32_t depth, const Ctx& ctx) {
  struct At {
    const Node* node;
    uint32_t height;
  };
  std::vector<At> level, next;
  for (const Node& n : bases)
    if (n.is_branch() && !n.hash_ready()) level.push_back({&n, depth});
  for (uint32_t step = 0; step < kHashLevels && level.size() < kHashFrontier; ++step) {
    next.clear();
    for (const At& at : level) {
      if (at.height <= 2) {
        next.push_back(at);
        continue;
      }
      for (const Node& c : at.node->children())
        if (c.is_branch() && !c.hash_ready()) next.push_back({&c, at.height - 1});
    }
    level.swap(next);
  }
  if (level.size() < kParallelHashNodes) return;
  Pool& pool = Pool::shared();
  size_t chunks = std::min<size_t>(level.size(), size_t(pool.size() + 1) * 8);
  parallel_for(pool, chunks, [&](size_t c) {
    for (size_t i = level.size() * c / chunks; i < level.size() * (c + 1) / chunks; ++i)
      hash_at(*level[i].node, level[i].height, ctx);
  });
}

// Every base hash, the missing ones computed first.
template <class F>
void each_base_hash(const std::vector<Node>& bases, uint32_t depth, const Ctx& ctx,
                    const F& f) {
  try {
    hash_frontier(bases, depth, ctx);
  } catch (const std::bad_alloc&) {
    // No room for tasks: the sequential pass below computes what is left.
  }
  for (const Node& n : bases) f(hash_at(n, depth, ctx));
}

}  // namespace

std::vector<Hash> Tree::base_hashes() const {
  std::vector<Hash> out;
  out.reserve(bases_.size());
  each_base_hash(bases_, depth_, *ctx_, [&](const Hash& h) { out.push_back(h); });
  return out;
}

Hash Tree::root() const {
  Sha256 s;
  s.update(kTagRoot);
  each_base_hash(bases_, depth_, *ctx_, [&](const Hash& h) { s.update(h); });
  return s.finish();
}

namespace {

template <class F>
void visit_node(const Node& n, uint64_t prefix, uint32_t height, uint32_t a, const F& f) {
  if (n.is_full()) {
    f(prefix, height);
    return;
  }
  if (!n.is_branch()) return;
  if (height >= 2) poll_cancel();
  const Branch& b = n.branch();
  const Node* kids = b.branch_children();
  uint32_t branches = b.branches();
  // A walk is a chain of cache misses: ask for every child's line at once.
  for (uint32_t i = 0; i < branches; ++i) __builtin_prefetch(&kids[i].branch());
  uint64_t child = prefix * a;
  for (uint32_t i = 0, rank = 0; i < a; ++i) {
    uint32_t k = b.kind(i);
    if (k == 1)
      f(child + i, height - 1);
    else if (k == 2)
      visit_node(kids[rank++], child + i, height - 1, a, f);
  }
}

}  // namespace

void Tree::visit_full(const std::function<void(uint64_t, uint32_t)>& f) const {
  for (uint32_t b = 0; b < hierarchy_.b; ++b)
    visit_node(bases_[b], uint64_t(hierarchy_.a) + b, depth_, hierarchy_.a, f);
}

std::vector<uint64_t> Tree::cells() const {
  std::vector<uint64_t> out;
  visit_full([&](uint64_t cid, uint32_t) { out.push_back(cid); });
  // Path order is numeric order while the levels agree, as in most trees.
  if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint64_t> Tree::leaves() const {
  std::vector<uint64_t> out;
  out.reserve(leaf_count());
  std::vector<uint64_t> span = powers(hierarchy_.a, depth_);
  visit_full([&](uint64_t cid, uint32_t height) {
    uint64_t first = cid * span[height], n = span[height];
    for (uint64_t i = 0; i < n; ++i) out.push_back(first + i);
  });
  return out;
}

uint64_t Tree::leaf_count() const {
  // At most B·A^D < (A + B)·A^D, which fits in 64 bits.
  std::vector<uint64_t> span = powers(hierarchy_.a, depth_);
  uint64_t total = 0;
  visit_full([&](uint64_t, uint32_t height) { total += span[height]; });
  return total;
}

bool Tree::is_empty() const {
  return std::all_of(bases_.begin(), bases_.end(),
                     [](const Node& n) { return n.is_empty(); });
}

Result<NodeAt> Tree::node_at(uint64_t cid) const {
  if (auto level = hierarchy_.check(cid, true, depth_); !level)
    return std::unexpected(level.error());
  auto path = hierarchy_.path(cid);
  if (!path) return std::unexpected(path.error());
  const Node* node = &bases_[(*path)[0]];
  uint32_t height = depth_;
  size_t i = 1;
  for (; i < path->size() && node->is_branch(); ++i, --height)
    node = &node->child((*path)[i]);
  return NodeAt{*node, height, i == path->size()};
}

Result<bool> Tree::covers(uint64_t cid) const {
  auto at = node_at(cid);
  if (!at) return std::unexpected(at.error());
  return at->node.is_full();
}

bool operator==(const Tree& x, const Tree& y) {
  if (x.hierarchy_ != y.hierarchy_ || x.depth_ != y.depth_) return false;
  // Bases of another kind or shape sum prove the trees differ without
  // hashing either.
  for (size_t i = 0; i < x.bases_.size(); ++i) {
    const Node &a = x.bases_[i], &b = y.bases_[i];
    if (a.kind() != b.kind() || (a.is_branch() && !a.same_leaves(b))) return false;
  }
  return x.root() == y.root();
}

std::string Tree::display() const {
  return cat("Tree(H(", hierarchy_.a, ",", hierarchy_.b, "), D=", depth_,
             ", root=", root_hex(), ")");
}

bool Tree::is_canonical() const {
  if (bases_.size() != hierarchy_.b) return false;
  for (const Node& n : bases_)
    if (!check_node(n, depth_, *ctx_)) return false;
  return true;
}

}  // namespace kivet
