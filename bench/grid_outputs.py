"""Saves the array functions' outputs, or compares them with a saved set, so
that a change can be checked against the build before it.

Covers 10^7 random points at levels 3, 7, 10 and 15 and 10^6 at levels 0
and 1; points on the poles, seams, ±180° and the boundary parallels (and
ulps around them) for several profiles and levels; cell vertices fed back as
points; nuclei of all of those; rings of 10^6 level-10 cells and of other
levels, profiles and n; and the error messages of bad elements.

Cells (of points), ring offsets and error texts must be identical byte for
byte. Coordinates (nuclei and rings) are compared byte for byte too, unless
--deviation is given: then their largest deviation is reported per group,
in ulps and degrees, and only a deviation above --max-ulps (default 8) fails.
An ulp here is the spacing of doubles at the larger of the two values'
magnitudes, but at least at 1 degree, so that values near 0 do not inflate
the count. Vertices are fed back from the saved rings, so that the cells of
points are compared on the same inputs either way.

usage: python bench/grid_outputs.py DIR [--compare [--deviation [--max-ulps N]]] [--quick]
  (first with the old build on PYTHONPATH, then with --compare on the new)
"""
import hashlib
import itertools
import os
import re
import sys

import numpy as np

import _kivet

out_dir = sys.argv[1]
compare = "--compare" in sys.argv
deviation = "--deviation" in sys.argv
max_ulps = float(sys.argv[sys.argv.index("--max-ulps") + 1]) if "--max-ulps" in sys.argv else 8
quick = "--quick" in sys.argv
os.makedirs(out_dir, exist_ok=True)
bad = []
count = 0
# group -> [largest deviation in ulps, in degrees, values compared, values differing]
deviations = {}


def group_of(name):
    """The group a coordinate array's deviation is reported under."""
    if name.startswith("rand_"):
        return f"random cells, level {name.split('_')[1][1:]}, nuclei"
    prefix = {"ring": "random cells, level 10", "mixed": "mixed levels"}.get(
        name.split("_")[0], "profile " + name.split("_")[0])
    if "ring" in name or re.search(r"_n\d+$", name):
        return prefix + ", rings"
    return prefix + (", special points" if "_spec_" in name else "") + ", nuclei"


def deviate(name, old, arr):
    """Records the deviation of coordinates arr from old under its group."""
    if arr.ndim == 2:  # rings: lon and lat columns
        deviate(name + "_lon", old[:, 0], arr[:, 0])
        deviate(name + "_lat", old[:, 1], arr[:, 1])
        return
    axis = "lat" if name.endswith("_lat") else "lon"
    group = group_of(name.rsplit("_", 1)[0] if name.endswith(("_lat", "_lon")) else name)
    group += " " + axis
    d = np.abs(arr - old)
    scale = np.spacing(np.maximum(np.maximum(np.abs(arr), np.abs(old)), 1.0))
    ulps = float(np.max(d / scale)) if d.size else 0.0
    entry = deviations.setdefault(group, [0.0, 0.0, 0, 0])
    entry[0] = max(entry[0], ulps)
    entry[1] = max(entry[1], float(np.max(d)) if d.size else 0.0)
    entry[2] += arr.size
    entry[3] += int(np.count_nonzero(d))
    if not np.array_equal(np.isnan(arr), np.isnan(old)) or ulps > max_ulps:
        print("DEVIATION", name, "ulps:", ulps)
        bad.append(name)


def emit(name, arr, coordinates=False):
    global count
    count += 1
    path = os.path.join(out_dir, name + ".npy")
    arr = np.ascontiguousarray(arr)
    if compare:
        if not os.path.exists(path):
            print("MISSING", name)
            bad.append(name)
            return
        old = np.load(path)
        if deviation and coordinates and old.dtype == arr.dtype and old.shape == arr.shape:
            deviate(name, old, arr)
            return
        if old.dtype != arr.dtype or old.shape != arr.shape or old.tobytes() != arr.tobytes():
            differing = -1
            if old.shape == arr.shape:
                differing = np.count_nonzero(old.view(np.uint8) != arr.view(np.uint8))
            print("DIFF", name, old.shape, arr.shape, "bytes differing:", differing)
            bad.append(name)
    else:
        np.save(path, arr)


def emit_text(name, text):
    emit(name, np.frombuffer(text.encode(), dtype=np.uint8))


def call(name, f, *args, **kw):
    try:
        r = f(*args, **kw)
    except (ValueError, TypeError, MemoryError) as e:
        emit_text(name + ".err", f"{type(e).__name__}: {e}")
        return None
    return r


def ulps(value, k):
    for _ in range(abs(k)):
        value = np.nextafter(value, np.inf if k > 0 else -np.inf)
    return float(value)


PROFILES = {
    "ogc": _kivet.Profile(),
    "k1": _kivet.Profile(north_square=1, south_square=3, lon_0_udeg=0),
    "sq21": _kivet.Profile(north_square=2, south_square=1, lon_0_udeg=-120 * 10**6),
    "ap4": _kivet.Profile(aperture=4, lon_0_udeg=0),
    "ap16": _kivet.Profile(aperture=16, north_square=3, south_square=2, lon_0_udeg=10**6),
    "flat100": _kivet.Profile(inv_f_nano=100 * 10**9, lon_0_udeg=0),
    "sphere": _kivet.Profile(inv_f_nano=10**13, lon_0_udeg=0),
    "small": _kivet.Profile(a_um=1000 * 10**6, inv_f_nano=150 * 10**9, lon_0_udeg=0),
}


def boundary_lat(p):
    def polar(lat):
        cell = _kivet._cells_from_lonlat(np.array([10.0]), np.array([lat]), 0, p)[0]
        return _kivet.position(int(cell), p)[0] == 0
    lo, hi = 40.0, 43.0
    while np.nextafter(lo, hi) != hi:
        mid = (lo + hi) / 2
        lo, hi = (lo, mid) if polar(mid) else (mid, hi)
    return lo


def special_points(p, lon_0):
    sweep = np.linspace(-180, 180, 4801)
    seams = [lon_0 + d for d in (-180, -135, -90, -45, 0, 45, 90, 135, 180)]
    seams += [ulps(lon_0 + d, k) for d in (-180, -90, 0, 90, 180) for k in (-2, -1, 1, 2)]
    edges = [180, -180, np.nextafter(180, 0), np.nextafter(-180, 0), np.nextafter(-180, -360),
             540, -540, 359.99999, 1e6, -1e6, 0.0, -0.0]
    lon = np.concatenate([sweep, seams, edges])
    b = boundary_lat(p)
    lats = [0.0, -0.0, 90.0, -90.0, ulps(90, -1), ulps(-90, 1), 89.9999999, -89.9999999, 1e-300,
            45.0, -45.0, 41.81, -41.81]
    for c in (b, 41.93785391016014):
        for k in range(-3, 4):
            lats += [ulps(c, k), -ulps(c, k)]
        lats += [c + 1e-7, c - 1e-7, -(c + 1e-7), -(c - 1e-7)]
    rng = np.random.default_rng(7)
    lats += list(rng.uniform(-90, 90, 8))
    la = np.repeat(np.array(lats), lon.size)
    lo = np.tile(lon, len(lats))
    # lon lines of the grid's columns near the seams
    cols = np.concatenate([lon_0 + np.arange(-4 * 3**5, 4 * 3**5 + 1) * (90 / 3**5)])
    la2 = np.repeat(np.array([0.0, 30.0, -30.0, 60.0, -60.0, 80.0, -89.0, b, -b]), cols.size)
    lo2 = np.tile(cols, 9)
    return np.concatenate([lo, lo2]), np.concatenate([la, la2])


def main():
    rng = np.random.default_rng(2026)
    n7 = 10**6 if quick else 10**7
    lon = rng.uniform(-180, 180, n7)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, n7)))
    c10 = _kivet._cells_from_lonlat(lon, lat, 10)
    emit("rand_l10", c10)
    x, y = _kivet._cells_to_lonlat(c10)
    emit("rand_l10_to_lon", x, True)
    emit("rand_l10_to_lat", y, True)
    del x, y
    for level in (0, 1, 3, 7, 15):
        end = n7 if level >= 3 else 10**6
        c = _kivet._cells_from_lonlat(lon[:end], lat[:end], level)
        emit(f"rand_l{level}", c)
        x, y = _kivet._cells_to_lonlat(c)
        emit(f"rand_l{level}_to_lon", x, True)
        emit(f"rand_l{level}_to_lat", y, True)
    # wide-range random lon (normalisation) and uniform lat
    lon2 = rng.uniform(-1000, 1000, 10**6)
    lat2 = rng.uniform(-90, 90, 10**6)
    emit("wide_l9", _kivet._cells_from_lonlat(lon2, lat2, 9))
    coords, offs = _kivet._cell_boundaries(c10[:10**6])
    emit("ring_l10", coords, True)
    emit("ring_l10_off", offs)
    for pname, p in PROFILES.items():
        lon_0 = p.to_dict()["lon_0_udeg"] / 1e6 if isinstance(p.to_dict(), dict) else 0
        slon, slat = special_points(p, lon_0)
        levels = (0, 5, 10, 15) if p.to_dict().get("aperture", 9) == 9 else (0, 3, 7, 12)
        for level in levels:
            c = call(f"{pname}_spec_l{level}", _kivet._cells_from_lonlat, slon, slat, level, p)
            if c is None:
                continue
            emit(f"{pname}_spec_l{level}", c)
            x, y = _kivet._cells_to_lonlat(c, p)
            emit(f"{pname}_spec_l{level}_to_lon", x, True)
            emit(f"{pname}_spec_l{level}_to_lat", y, True)
        # random points per profile
        c = _kivet._cells_from_lonlat(lon[:300000], lat[:300000], levels[2], p)
        emit(f"{pname}_rand", c)
        x, y = _kivet._cells_to_lonlat(c, p)
        emit(f"{pname}_rand_to_lon", x, True)
        emit(f"{pname}_rand_to_lat", y, True)
        # cell vertices and edge points fed back, at the level and two below
        for level in (1, 2, 4, 8):
            cl = _kivet._cells_from_lonlat(lon[:20000], lat[:20000], level, p)
            cl = np.unique(cl)
            for n in (2, 5, 7):
                coords, offs = _kivet._cell_boundaries(cl, n, p)
                emit(f"{pname}_ring_l{level}_n{n}", coords, True)
                emit(f"{pname}_ring_l{level}_n{n}_off", offs)
            coords, offs = _kivet._cell_boundaries(cl, 5, p)
            if compare:
                coords = np.load(os.path.join(out_dir, f"{pname}_ring_l{level}_n5.npy"))
            vx = np.ascontiguousarray(coords[:, 0])
            vy = np.ascontiguousarray(coords[:, 1])
            for dl in (0, 1, 2):
                c = call(f"{pname}_vert_l{level}_{dl}", _kivet._cells_from_lonlat, vx, vy,
                         level + dl, p)
                if c is not None:
                    emit(f"{pname}_vert_l{level}_{dl}", c)
        # every cell of levels 0..2, and polar caps: rings and nuclei
        for level in (0, 1, 2):
            cl = np.unique(_kivet._cells_from_lonlat(slon, slat, level, p))
            x, y = _kivet._cells_to_lonlat(cl, p)
            emit(f"{pname}_all_l{level}_to_lon", x, True)
            emit(f"{pname}_all_l{level}_to_lat", y, True)
            for n in (2, 3, 5, 9):
                coords, offs = _kivet._cell_boundaries(cl, n, p)
                emit(f"{pname}_all_l{level}_n{n}", coords, True)
                emit(f"{pname}_all_l{level}_n{n}_off", offs)
    # 10^5 level-3 cells, n = 7, other profile
    p = PROFILES["k1"]
    c3 = _kivet._cells_from_lonlat(lon[:10**5], lat[:10**5], 3, p)
    coords, offs = _kivet._cell_boundaries(c3, 7, p)
    emit("k1_ring_l3_n7", coords, True)
    emit("k1_ring_l3_n7_off", offs)
    # cids of mixed levels
    mixed = np.concatenate([
        _kivet._cells_from_lonlat(np.ascontiguousarray(lon[i::16][:6000]),
                                  np.ascontiguousarray(lat[i::16][:6000]), i)
        for i in range(16)])
    x, y = _kivet._cells_to_lonlat(mixed)
    emit("mixed_to_lon", x, True)
    emit("mixed_to_lat", y, True)
    coords, offs = _kivet._cell_boundaries(mixed[:50000])
    emit("mixed_ring", coords, True)
    emit("mixed_ring_off", offs)
    # errors
    bad_lon = np.array([0.0, np.nan, 10.0])
    bad_lat = np.array([0.0, 0.0, 10.0])
    call("err_nan", _kivet._cells_from_lonlat, bad_lon, bad_lat, 3)
    call("err_lat", _kivet._cells_from_lonlat, np.array([0.0, 1.0]), np.array([0.0, 90.5]), 3)
    call("err_inf", _kivet._cells_from_lonlat, np.array([np.inf]), np.array([0.0]), 3)
    call("err_latnan", _kivet._cells_from_lonlat, np.array([1.0]), np.array([np.nan]), 3)
    call("err_cid", _kivet._cells_to_lonlat, np.array([c10[0], 5, c10[1]], dtype=np.uint64))
    call("err_cid2", _kivet._cells_to_lonlat, np.array([2**64 - 1], dtype=np.uint64))
    call("err_ring", _kivet._cell_boundaries, np.array([c10[0], 3], dtype=np.uint64))
    if deviations:
        print(f"largest deviation of coordinates (ulps at max(|value|, 1 degree); degrees; "
              "values differing / compared):")
        for group, (ulps, degrees, total, differing) in sorted(deviations.items()):
            print(f"  {group:58s} {ulps:6.2f} ulps  {degrees:.3g} deg  {differing}/{total}")
    print(("compared " if compare else "dumped ") + str(count), "arrays;",
          "bad:" if bad else ("all within bounds" if deviations else "all identical"),
          " ".join(bad))


main()
sys.exit(1 if bad else 0)
