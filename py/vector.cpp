// The array functions: one grid operation over every element of NumPy arrays.
//
// Inputs are borrowed from the arrays' buffers (1-D, exact dtype, contiguous);
// outputs are allocated as NumPy arrays before the lock is released and each
// element writes its own slot, so nothing is copied twice and no Python
// object is touched while the workers run. Element failures are messages;
// the one at the lowest index is raised after the lock is re-acquired,
// however the workers were scheduled.
#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <span>
#include <string>

#include "core/geo/bulk.hpp"
#include "core/geo/grid.hpp"
#include "core/support/memory.hpp"
#include "core/support/pool.hpp"
#include "core/zone.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/interrupt.hpp"
#include "py/numpy.hpp"

namespace kivet::py {

namespace {

constexpr size_t kParallelThreshold = 16384;
constexpr unsigned kMaxLevel = 15;

// An element's failure message, or nothing.
using Outcome = std::optional<std::string>;

enum class Kind { f64, u64 };

// The argument as a 1-D array of exactly the dtype, else TypeError.
PyArrayObject* to_array(PyObject* o, const char* name, Kind kind) {
  const char* want = kind == Kind::f64 ? "float64" : "uint64";
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a 1-D numpy.ndarray of %s, got %.200s", name,
                 want, Py_TYPE(o)->tp_name);
    throw PyError{};
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  PyArray_Descr* d = PyArray_DESCR(a);
  bool dtype_ok = PyArray_ITEMSIZE(a) == 8 && PyArray_ISNOTSWAPPED(a) &&
                  (kind == Kind::f64 ? d->kind == 'f' : d->kind == 'u');
  if (!dtype_ok || PyArray_NDIM(a) != 1) {
    Ref dtype = check(PyObject_Str(reinterpret_cast<PyObject*>(d)));
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a 1-D numpy.ndarray of %s, got a %d-D "
                 "numpy.ndarray of %U",
                 name, want, PyArray_NDIM(a), dtype.get());
    throw PyError{};
  }
  return a;
}

// The array's elements as one contiguous run.
template <class T>
std::span<const T> slice(PyArrayObject* a) {
  auto n = size_t(PyArray_SIZE(a));
  if (n == 0) return {};
  if (!PyArray_ISALIGNED(a) || !(PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)))
    raise(PyExc_ValueError,
          "array is not contiguous: The given array is not contiguous or is misaligned.");
  return {static_cast<const T*>(PyArray_DATA(a)), n};
}

Ref new_array(std::initializer_list<npy_intp> shape, int type) {
  return check(PyArray_SimpleNew(int(shape.size()), const_cast<npy_intp*>(shape.begin()),
                                 type));
}

template <class T>
T* data_of(const Ref& array) {
  return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// f(i) for i in [lo, hi), stopping at the first failure (recorded in `first`).
template <class F>
void run_range(size_t lo, size_t hi, F& f, FirstFailure& first) {
  // Polling the flag every element would cost a shared cache line; every
  // 1024 elements is often enough to stop promptly.
  for (size_t i = lo; i < hi; ++i) {
    if ((i & 1023) == 0) {
      poll_cancel();
      if (first.stopped(i)) return;
    }
    if (Outcome o = f(i)) {
      first.record(i, std::move(*o));
      return;
    }
  }
}

// Evaluates range(lo, hi, first) over [0, n) split into ranges: on the
// calling thread when nthreads is 1 or n is small, on a dedicated pool of
// nthreads workers, or on the shared pool (nthreads 0). Each element writes
// its own output slot, so the result does not depend on scheduling. Returns
// a failure message, or nothing. Runs without the interpreter lock.
template <class R>
Outcome run_ranges(size_t n, uint64_t nthreads, R&& range) {
  FirstFailure first;
  if (nthreads == 1 || n < kParallelThreshold) {
    range(0, n, first);
    return first.take();
  }
  std::unique_ptr<Pool> own;
  if (nthreads >= 2) {
    auto made = Pool::create(nthreads);
    if (!made) return made.error().text();
    own = std::move(*made);
  }
  Pool& pool = own ? *own : Pool::shared();
  // A few chunks per worker so that stealing evens out uneven element costs.
  size_t chunks = std::min<size_t>((n + 4095) / 4096, size_t(pool.size() + 1) * 8);
  parallel_for(pool, chunks, [&](size_t c) {
    range(n * c / chunks, n * (c + 1) / chunks, first);
  });
  return first.take();
}

// f(i) for i in [0, n), as run_ranges.
template <class F>
Outcome run(size_t n, uint64_t nthreads, F&& f) {
  return run_ranges(n, nthreads, [&](size_t lo, size_t hi, FirstFailure& first) {
    run_range(lo, hi, f, first);
  });
}

// run() without the interpreter lock, stopped by a raising signal handler.
template <class F>
Outcome run_interruptible(size_t n, uint64_t nthreads, F&& f) {
  return interruptible([&] { return run(n, nthreads, f); });
}

// The failure of element i of a cid function.
std::string cell_failure(size_t i, const Error& e) { return cat("cell ", i, ": ", e.text()); }

}  // namespace

KIVET_FUNCTION(fn_cells_from_lonlat) {
  return guard([&] {
    Args a("_cells_from_lonlat", {"lon", "lat", "level", "profile", "nthreads"}, 3,
           args, nargs, kwnames);
    PyArrayObject* lon_array = to_array(a[0], "lon", Kind::f64);
    PyArrayObject* lat_array = to_array(a[1], "lat", Kind::f64);
    uint32_t level = to_u32(a[2], "level");
    Profile profile = to_profile(a[3]);
    uint64_t nthreads = a[4] ? to_u64(a[4], "nthreads") : 0;
    if (level > kMaxLevel)
      raise(PyExc_ValueError, cat("level ", level, " is above the maximum ", kMaxLevel));
    ok(profile.validate());
    auto lon = slice<double>(lon_array);
    auto lat = slice<double>(lat_array);
    if (lon.size() != lat.size())
      raise(PyExc_ValueError,
            cat(lon.size(), " longitudes but ", lat.size(), " latitudes"));
    Grid grid = Grid::from_profile(profile);
    CellEncoder encode(profile.hierarchy(), level);
    PointCells quick(grid, profile.hierarchy(), level);
    Ref out = new_array({npy_intp(lon.size())}, NPY_UINT64);
    uint64_t* cids = data_of<uint64_t>(out);
    // The general path, for the points the quick one leaves.
    auto general = [&](size_t i) -> Outcome {
      auto cell = grid.cell_from_lonlat(level, lon[i], lat[i]);
      if (!cell)
        return cat("point ", i, " (", plain(lon[i]), ", ", plain(lat[i]),
                   ") is not on the grid");
      auto cid = encode(cell->base, cell->row, cell->column);
      if (!cid) return cid.error().text();
      cids[i] = *cid;
      return std::nullopt;
    };
    Outcome failure = interruptible([&] {
      return run_ranges(lon.size(), nthreads, [&](size_t lo, size_t hi, FirstFailure& first) {
        for (size_t b = lo; b < hi; b += PointCells::kBlock) {
          if (((b - lo) & 1023) < PointCells::kBlock) {
            poll_cancel();
            if (first.stopped(b)) return;
          }
          size_t e = std::min(hi, b + PointCells::kBlock);
          quick.block(&lon[b], &lat[b], &cids[b], e - b);
          for (size_t i = b; i < e; ++i)
            if (cids[i] == 0)
              if (Outcome o = general(i)) {
                first.record(i, std::move(*o));
                return;
              }
        }
      });
    });
    if (failure) raise(PyExc_ValueError, *failure);
    return out;
  });
}

namespace {

// The arguments of a cid function taking (cids, profile=None, nthreads=0),
// converted in order; the array is borrowed for the call.
struct CidArgs {
  Profile profile;
  uint64_t nthreads;
  std::span<const uint64_t> cids;
};

CidArgs read_cid_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  Args a(function, {"cids", "profile", "nthreads"}, 1, args, nargs, kwnames);
  PyArrayObject* cid_array = to_array(a[0], "cids", Kind::u64);
  Profile profile = to_profile(a[1]);
  uint64_t nthreads = a[2] ? to_u64(a[2], "nthreads") : 0;
  ok(profile.validate());
  return {std::move(profile), nthreads, slice<uint64_t>(cid_array)};
}

}  // namespace

KIVET_FUNCTION(fn_cells_to_lonlat) {
  return guard([&] {
    auto [profile, nthreads, cids] =
        read_cid_args("_cells_to_lonlat", args, nargs, kwnames);
    Grid grid = Grid::from_profile(profile);
    CellDecoder decoder(profile.hierarchy());
    CellNuclei quick(grid, profile.hierarchy());
    Ref lon_out = new_array({npy_intp(cids.size())}, NPY_FLOAT64);
    Ref lat_out = new_array({npy_intp(cids.size())}, NPY_FLOAT64);
    double* lon = data_of<double>(lon_out);
    double* lat = data_of<double>(lat_out);
    auto general = [&](size_t i) -> Outcome {
      auto p = decoder.position(cids[i]);
      if (!p) return cell_failure(i, p.error());
      auto q = grid.nucleus(*p);
      if (!q) return cell_failure(i, q.error());
      lon[i] = q->lon;
      lat[i] = q->lat;
      return std::nullopt;
    };
    Outcome failure = interruptible([&] {
      return run_ranges(cids.size(), nthreads, [&](size_t lo, size_t hi, FirstFailure& first) {
        for (size_t b = lo; b < hi; b += CellNuclei::kBlock) {
          if (((b - lo) & 1023) < CellNuclei::kBlock) {
            poll_cancel();
            if (first.stopped(b)) return;
          }
          size_t e = std::min(hi, b + CellNuclei::kBlock);
          for (uint64_t left = quick.block(&cids[b], &lon[b], &lat[b], e - b); left != 0;
               left &= left - 1) {
            size_t i = b + size_t(std::countr_zero(left));
            if (Outcome o = general(i)) {
              first.record(i, std::move(*o));
              return;
            }
          }
        }
      });
    });
    if (failure) raise(PyExc_ValueError, *failure);
    return check(PyTuple_Pack(2, lon_out.get(), lat_out.get()));
  });
}

KIVET_FUNCTION(fn_cell_boundaries) {
  return guard([&] {
    Args a("_cell_boundaries", {"cids", "n", "profile", "nthreads"}, 1, args, nargs,
           kwnames);
    PyArrayObject* cid_array = to_array(a[0], "cids", Kind::u64);
    uint64_t n = a[1] ? to_u64(a[1], "n") : 5;
    Profile profile = to_profile(a[2]);
    uint64_t nthreads = a[3] ? to_u64(a[3], "nthreads") : 0;
    ok(profile.validate());
    auto cids = slice<uint64_t>(cid_array);
    Grid grid = Grid::from_profile(profile);
    Hierarchy h = profile.hierarchy();
    static_assert(sizeof(LonLat) == 2 * sizeof(double));
    // Ring lengths are known from the cid alone, so the offsets come first
    // and every ring is then written straight into the output array.
    Ref offsets_out = new_array({npy_intp(cids.size() + 1)}, NPY_INT64);
    int64_t* offsets = data_of<int64_t>(offsets_out);
    offsets[0] = 0;
    CellNuclei quick(grid, h);
    CellDecoder decoder(h);
    auto cell_of = [&](size_t i, Position& p) -> Outcome {
      if (quick.position(cids[i], p)) return std::nullopt;
      auto q = decoder.position(cids[i]);
      if (!q) return cell_failure(i, q.error());
      p = *q;
      return std::nullopt;
    };
    Outcome failure;
    {
      failure = run_interruptible(cids.size(), nthreads, [&](size_t i) -> Outcome {
        Position p;
        if (Outcome o = cell_of(i, p)) return o;
        offsets[i + 1] = int64_t(grid.polygon_size(p, n));
        return std::nullopt;
      });
    }
    if (failure) raise(PyExc_ValueError, *failure);
    constexpr uint64_t kMaxPoints = uint64_t(PTRDIFF_MAX) / sizeof(LonLat);
    uint64_t total = 0;
    bool fits = true;
    for (size_t i = 0; i < cids.size() && fits; ++i) {
      fits = !__builtin_add_overflow(total, uint64_t(offsets[i + 1]), &total) &&
             total <= kMaxPoints;
      offsets[i + 1] = int64_t(total);
    }
    // Checked against the memory at hand: an overcommitting kernel would
    // grant a larger array and kill the process as the rings fill it.
    fits = fits && fits_in_memory(total, sizeof(LonLat));
    if (!fits) {
      PyErr_SetString(PyExc_MemoryError, "the rings' coordinates cannot be allocated");
      throw PyError{};
    }
    Ref coords_out = new_array({npy_intp(total), 2}, NPY_FLOAT64);
    // (lon, lat) rows of doubles are laid out as LonLat.
    auto* coords = reinterpret_cast<LonLat*>(data_of<double>(coords_out));
    {
      failure = run_interruptible(cids.size(), nthreads, [&](size_t i) -> Outcome {
        Position p;
        if (Outcome o = cell_of(i, p)) return o;
        // Another thread may have changed the input since the sizes were
        // taken; never write past this cell's slot.
        auto size = size_t(offsets[i + 1] - offsets[i]);
        if (grid.polygon_size(p, n) != size)
          return cat("cell ", i, ": changed during the call");
        auto written = grid.write_cell_polygon(p, n, {coords + offsets[i], size});
        if (!written) return cell_failure(i, written.error());
        return std::nullopt;
      });
    }
    if (failure) raise(PyExc_ValueError, *failure);
    return check(PyTuple_Pack(2, coords_out.get(), offsets_out.get()));
  });
}

KIVET_FUNCTION(fn_cell_neighbours) {
  return guard([&] {
    auto [profile, nthreads, cids] =
        read_cid_args("_cell_neighbours", args, nargs, kwnames);
    Ref out = new_array({npy_intp(cids.size()), 4}, NPY_UINT64);
    uint64_t* cells = data_of<uint64_t>(out);
    CellDecoder decoder(Hierarchy{profile.aperture, 6});
    std::optional<Error> layout;
    if (profile.n_base != 6)
      layout = Error::message(cat("the rHEALPix layout has 6 base cells, the profile has ",
                                  profile.n_base));
    Outcome failure;
    {
      failure = run_interruptible(cids.size(), nthreads, [&](size_t i) -> Outcome {
        if (layout) return cell_failure(i, *layout);
        auto nb = neighbours(decoder, profile.north_square, profile.south_square, cids[i]);
        if (!nb) return cell_failure(i, nb.error());
        uint64_t* row = cells + 4 * i;
        row[0] = nb->up;
        row[1] = nb->right;
        row[2] = nb->down;
        row[3] = nb->left;
        return std::nullopt;
      });
    }
    if (failure) raise(PyExc_ValueError, *failure);
    return out;
  });
}

}  // namespace kivet::py
