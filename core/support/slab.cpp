#include "core/support/slab.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <utility>

namespace kivet::slab {

namespace {

// Size class c holds blocks of 8c bytes; a free block keeps four words.
constexpr size_t kClasses = kMaxBytes / 8 + 1;
constexpr size_t kMinBytes = 32;
// Regions are aligned to their size, so a block finds its region's header;
// 2 MiB, so that few mappings serve a large tree.
constexpr size_t kRegionBytes = size_t(2) << 20;
constexpr size_t kHeaderBytes = 64;
// Blocks moved to or from the depot at once; a thread keeps at most two
// batches of each size.
constexpr uint32_t kBatch = 128;
// Under memory pressure, freed blocks are looked through for whole free
// regions once at least this many (or half the depot) came back.
constexpr uint64_t kScavengeBlocks = 16384;

size_t class_of(size_t bytes) { return (bytes < kMinBytes ? kMinBytes : bytes + 7) / 8; }

struct FreeBlock {
  FreeBlock* next;  // within a thread's list or a batch
  // Kept by the first block of a batch only:
  FreeBlock* next_batch;  // queued after this one in the depot
  FreeBlock* last;
  uint64_t count;
};

// At the start of each region.
struct Region {
  uint64_t carved;  // blocks cut from it; written by the thread cutting
  // Written under the depot's lock:
  bool in_use;        // a thread cuts from it, or it waits as a spare
  bool released;
  uint64_t epoch;     // of the scavenge that last counted it
  uint64_t free;      // its blocks that scavenge found in the depot
  Region* next_released;
};
static_assert(sizeof(Region) <= kHeaderBytes);

Region* region_of(const void* p) {
  return reinterpret_cast<Region*>(uintptr_t(p) & ~uintptr_t(kRegionBytes - 1));
}

// What is left of a region a finished thread was cutting, kept at its start.
struct Spare {
  Spare* next;
  char* end;
};

// Blocks are handed out in the order they were freed, here and in the depot.
// A tree is freed in the order it was built, so the next tree gets its blocks
// in the same address order: its chains stay adjacent and walking it streams.
struct List {
  FreeBlock* head;  // freed first, handed out next
  FreeBlock* tail;
  uint32_t count;
};

// Per size, a thread hands out from `ready` and collects what it frees in
// `freed`, a batch in the making.
struct Lists {
  List ready;
  List freed;
};

// Trivial to construct and destroy, so reaching it never allocates or
// registers anything; its memory comes with the thread's other thread-local
// data. `registered` says the thread-exit hook is armed.
struct Cache {
  Lists lists[kClasses];
  Region* region;  // being cut, from `bump` to `end`
  char* bump;
  char* end;
  bool registered;
};
constinit thread_local Cache t_cache{};

// Shared by all threads. Never destroyed: threads may still free blocks while
// the process exits.
struct Depot {
  std::mutex mutex;
  // A queue of batches per size, oldest first.
  FreeBlock* first[kClasses]{};
  FreeBlock* last[kClasses]{};
  std::atomic<uint32_t> batches[kClasses]{};  // read without the lock
  uint64_t blocks = 0;
  Spare* spares = nullptr;
  std::atomic<uint64_t> reserved{0};
  uint64_t returned_since_scavenge = 0;
  uint64_t epoch = 0;
  // 0: no thread-exit key yet, 1: made.
  std::atomic<int> key_state{0};
  pthread_key_t key{};
};
constinit Depot g_depot;

// Set when no region could be mapped: from then on freed blocks go straight
// to the depot and whole free regions back to the system, until a region can
// be mapped again. Read on every free, so on a cache line of its own.
struct alignas(64) Pressure {
  std::atomic<bool> on{false};
};
constinit Pressure g_pressure;

Region* map_region() noexcept {
  auto map = [](size_t bytes) -> char* {
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : static_cast<char*>(m);
  };
  char* m = map(kRegionBytes);
  if (!m) return nullptr;
  if (uintptr_t(m) % kRegionBytes) {
    // Twice the size, less the unaligned ends, leaves an aligned region.
    munmap(m, kRegionBytes);
    m = map(2 * kRegionBytes);
    if (!m) return nullptr;
    auto* start = reinterpret_cast<char*>(region_of(m + kRegionBytes - 1));
    if (start > m) munmap(m, size_t(start - m));
    char* end = start + kRegionBytes;
    if (m + 2 * kRegionBytes > end) munmap(end, size_t(m + 2 * kRegionBytes - end));
    m = start;
  }
  // Every page of a region is written soon: one call maps them all, where
  // touching them one by one would take a fault apiece. (Huge pages made the
  // first build of a process several times slower, for no gain after it.)
#ifdef MADV_POPULATE_WRITE
  madvise(m, kRegionBytes, MADV_POPULATE_WRITE);  // older kernels refuse it: faults then
#endif
  return new (m) Region{};
}

// Gives the regions whose blocks all wait in the depot back to the system,
// and takes their blocks out of the queues. Slow (it walks every free block);
// run only under memory pressure.
void scavenge() noexcept {
  Region* released = nullptr;
  {
    std::lock_guard lock(g_depot.mutex);
    uint64_t epoch = ++g_depot.epoch;
    auto each_block = [](size_t c, auto&& f) {
      for (FreeBlock* b = g_depot.first[c]; b;) {
        FreeBlock* next_batch = b->next_batch;
        uint64_t n = b->count;
        for (FreeBlock* x = b; n--;) {
          FreeBlock* next = n ? x->next : nullptr;
          f(x);
          x = next;
        }
        b = next_batch;
      }
    };
    for (size_t c = 0; c < kClasses; ++c) {
      each_block(c, [epoch](FreeBlock* x) {
        Region* r = region_of(x);
        if (r->epoch != epoch) r->epoch = epoch, r->free = 0;
        ++r->free;
      });
    }
    auto releasable = [](Region* r) { return !r->in_use && r->free == r->carved; };
    for (size_t c = 0; c < kClasses; ++c) {
      // The kept blocks, requeued in their order as full batches.
      List kept{};
      FreeBlock* head = nullptr;
      FreeBlock* tail = nullptr;
      uint32_t batches = 0;
      auto close = [&] {
        kept.head->next_batch = nullptr;
        kept.head->last = kept.tail;
        kept.head->count = kept.count;
        if (tail)
          tail->next_batch = kept.head;
        else
          head = kept.head;
        tail = kept.head;
        ++batches;
        kept = {};
      };
      each_block(c, [&](FreeBlock* x) {
        Region* r = region_of(x);
        if (releasable(r)) {
          if (!r->released) {
            r->released = true;
            r->next_released = released;
            released = r;
          }
          --g_depot.blocks;
          return;
        }
        if (kept.count)
          kept.tail->next = x;
        else
          kept.head = x;
        kept.tail = x;
        if (++kept.count == kBatch) close();
      });
      if (kept.count) close();
      g_depot.first[c] = head;
      g_depot.last[c] = tail;
      g_depot.batches[c].store(batches, std::memory_order_relaxed);
    }
    g_depot.returned_since_scavenge = 0;
  }
  while (released) {
    Region* r = std::exchange(released, released->next_released);
    munmap(r, kRegionBytes);
    g_depot.reserved.fetch_sub(kRegionBytes, std::memory_order_relaxed);
  }
}

// Queues a thread's list in the depot; true when, under memory pressure,
// enough came back to look for whole free regions.
bool queue_batch(size_t c, const List& l) {
  FreeBlock* head = l.head;
  head->next_batch = nullptr;
  head->last = l.tail;
  head->count = l.count;
  std::lock_guard lock(g_depot.mutex);
  if (g_depot.first[c])
    g_depot.last[c]->next_batch = head;
  else
    g_depot.first[c] = head;
  g_depot.last[c] = head;
  g_depot.batches[c].fetch_add(1, std::memory_order_relaxed);
  g_depot.blocks += l.count;
  if (!g_pressure.on.load(std::memory_order_relaxed)) return false;
  g_depot.returned_since_scavenge += l.count;
  return g_depot.returned_since_scavenge >= std::max(kScavengeBlocks, g_depot.blocks / 2);
}

void push_batch(size_t c, const List& l) {
  if (queue_batch(c, l)) scavenge();
}

bool take_batch(size_t c, List& l) {
  if (g_depot.batches[c].load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard lock(g_depot.mutex);
  FreeBlock* head = g_depot.first[c];
  if (!head) return false;
  g_depot.first[c] = head->next_batch;
  g_depot.batches[c].fetch_sub(1, std::memory_order_relaxed);
  g_depot.blocks -= head->count;
  l = {head, head->last, uint32_t(head->count)};
  return true;
}

// The thread stops cutting its region: kept as a spare when much is left,
// else retired (its blocks may then all come back, and the region with them).
void put_region_aside(Cache& t) {
  if (!t.region) return;
  std::lock_guard lock(g_depot.mutex);
  if (size_t(t.end - t.bump) >= kRegionBytes / 16) {
    auto* s = new (t.bump) Spare{g_depot.spares, t.end};
    g_depot.spares = s;
  } else {
    t.region->in_use = false;
  }
  t.region = nullptr;
  t.bump = t.end = nullptr;
}

// Every list of the thread to the depot.
void hand_over_lists(Cache& t) {
  for (size_t c = 0; c < kClasses; ++c) {
    if (t.lists[c].ready.count) queue_batch(c, t.lists[c].ready);
    if (t.lists[c].freed.count) queue_batch(c, t.lists[c].freed);
    t.lists[c] = {};
  }
}

// Thread exit: the lists go to the depot as batches, the region aside.
void hand_back(void* arg) {
  Cache& t = *static_cast<Cache*>(arg);
  t.registered = false;
  hand_over_lists(t);
  put_region_aside(t);
  if (g_pressure.on.load(std::memory_order_relaxed)) scavenge();
}

// The depot's lock is held across fork(), so that the child's copy is whole.
// Other threads' lists are lost in the child: their threads are not there.
void lock_depot() { g_depot.mutex.lock(); }
void unlock_depot() { g_depot.mutex.unlock(); }

// Arms hand_back for the calling thread; false when the system refuses.
bool register_thread(Cache& t) noexcept {
  if (g_depot.key_state.load(std::memory_order_acquire) == 0) {
    std::lock_guard lock(g_depot.mutex);
    if (g_depot.key_state.load(std::memory_order_relaxed) == 0) {
      pthread_key_t key;
      if (pthread_key_create(&key, hand_back) != 0) return false;
      if (pthread_atfork(lock_depot, unlock_depot, unlock_depot) != 0) {
        // Refused for want of memory: ask again next time.
        pthread_key_delete(key);
        return false;
      }
      g_depot.key = key;
      g_depot.key_state.store(1, std::memory_order_release);
    }
  }
  if (pthread_setspecific(g_depot.key, &t) != 0) return false;
  t.registered = true;
  return true;
}

void new_region(Cache& t) {
  {
    std::lock_guard lock(g_depot.mutex);
    // A small tail of the old region is left uncut, even if no new one
    // comes: the old one may go back to the system from now on.
    if (t.region) t.region->in_use = false;
    t.region = nullptr;
    t.bump = t.end = nullptr;
    if (Spare* s = g_depot.spares) {
      g_depot.spares = s->next;
      t.region = region_of(s);
      t.end = s->end;
      t.bump = reinterpret_cast<char*>(s);
      return;
    }
  }
  Region* r = map_region();
  if (!r) {
    g_pressure.on.store(true, std::memory_order_relaxed);
    hand_over_lists(t);
    scavenge();
    r = map_region();
    if (!r) throw std::bad_alloc();
  }
  if (g_pressure.on.load(std::memory_order_relaxed))
    g_pressure.on.store(false, std::memory_order_relaxed);
  g_depot.reserved.fetch_add(kRegionBytes, std::memory_order_relaxed);
  r->in_use = true;
  t.region = r;
  t.bump = reinterpret_cast<char*>(r) + kHeaderBytes;
  t.end = reinterpret_cast<char*>(r) + kRegionBytes;
}

[[gnu::noinline]] void* refill(Cache& t, size_t c) {
  if (!t.registered && !register_thread(t)) throw std::bad_alloc();
  Lists& l = t.lists[c];
  if (l.freed.count)
    l.ready = std::exchange(l.freed, List{});
  else if (!take_batch(c, l.ready))
    l.ready = {};
  if (l.ready.count) {
    FreeBlock* b = l.ready.head;
    l.ready.head = b->next;
    --l.ready.count;
    return b;
  }
  size_t size = c * 8;
  if (size_t(t.end - t.bump) < size) new_region(t);
  void* p = t.bump;
  t.bump += size;
  ++t.region->carved;
  return p;
}

}  // namespace

void* allocate(size_t bytes) {
  if (bytes > kMaxBytes) return ::operator new(bytes);
  size_t c = class_of(bytes);
  Cache& t = t_cache;
  List& l = t.lists[c].ready;
  if (l.count) {
    FreeBlock* b = l.head;
    l.head = b->next;
    --l.count;
    // The next block may be cold (freed long ago, or by another thread): the
    // one after this call's successor is fetched now, two calls ahead of its
    // use, as the successor itself was by the last call.
    if (l.count > 1) {
      FreeBlock* after = l.head->next;
      __builtin_prefetch(after, 1);
      __builtin_prefetch(reinterpret_cast<char*>(after) + 64, 1);
    }
    return b;
  }
  return refill(t, c);
}

void deallocate(void* p, size_t bytes) noexcept {
  if (bytes > kMaxBytes) {
    ::operator delete(p, bytes);
    return;
  }
  size_t c = class_of(bytes);
  Cache& t = t_cache;
  auto* b = static_cast<FreeBlock*>(p);
  if (g_pressure.on.load(std::memory_order_relaxed) ||
      (!t.registered && !register_thread(t))) [[unlikely]] {
    // Short of memory, no thread's lists may keep a region from going back;
    // or this thread's lists could not be handed back when it ends.
    hand_over_lists(t);
    push_batch(c, List{b, b, 1});
    return;
  }
  List& l = t.lists[c].freed;
  if (l.count)
    l.tail->next = b;
  else
    l.head = b;
  l.tail = b;
  if (++l.count == kBatch) {
    push_batch(c, l);
    l = {};
  }
}

void trim() noexcept {
  if (!g_pressure.on.load(std::memory_order_relaxed)) return;
  Cache& t = t_cache;
  hand_over_lists(t);
  scavenge();
}

uint64_t reserved_bytes() noexcept {
  return g_depot.reserved.load(std::memory_order_relaxed);
}

}  // namespace kivet::slab
