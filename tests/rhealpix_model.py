"""A direct Python model of the rHEALPix layout, for differential tests.

The forward projection uses the closed-form authalic latitude (the module
uses the series), so agreement checks the arithmetic as well as the layout.
"""

import math

import _kivet

PI = math.pi
A = 6378137.0
F = 1 / 298.257223563
E = math.sqrt(F * (2 - F))
QP = 1 - (1 - E * E) / (2 * E) * math.log((1 - E) / (1 + E))
R = A * math.sqrt(QP / 2)


def profile(ns=0, ss=0, lon_0=50):
    return _kivet.Profile(north_square=ns, south_square=ss, lon_0_udeg=lon_0 * 10**6)


def authalic(phi):
    s = math.sin(phi)
    q = (1 - E * E) * s / (1 - E * E * s * s) - (1 - E * E) / (2 * E) * math.log(
        (1 - E * s) / (1 + E * s))
    return math.asin(max(-1.0, min(1.0, q / QP)))


def forward(lon, lat, ns=0, ss=0, lon_0=50.0):
    """Planar metres of a point given in degrees."""
    lam = (lon - lon_0 + 180) % 360 - 180
    lam, xi = math.radians(lam), authalic(math.radians(lat))
    if abs(xi) <= math.asin(2 / 3):
        x, y = lam, 3 * PI / 8 * math.sin(xi)
    else:
        c = min(max(math.floor(2 * lam / PI + 2), 0), 3)
        xc = c * PI / 2 - 3 * PI / 4
        sigma = math.sqrt(3 * (1 - abs(math.sin(xi))))
        x, y = xc + sigma * (lam - xc), math.copysign(PI / 4 * (2 - sigma), xi)
    if abs(y) > PI / 4:
        north = y > 0
        w = 0 if x < -PI / 2 else 1 if x < 0 else 2 if x < PI / 2 else 3
        dx, dy = x - (w * PI / 2 - 3 * PI / 4), y - (PI / 2 if north else -PI / 2)
        k = (w - ns) % 4 if north else (ss - w) % 4
        for _ in range(k):
            dx, dy = -dy, dx
        s = ns if north else ss
        x, y = s * PI / 2 - 3 * PI / 4 + dx, (PI / 2 if north else -PI / 2) + dy
    return R * x, R * y


def upper_left(base, ns=0, ss=0):
    return [((ns * PI / 2 - PI) * R, 3 * PI / 4 * R), (-PI * R, PI / 4 * R),
            (-PI / 2 * R, PI / 4 * R), (0.0, PI / 4 * R), (PI / 2 * R, PI / 4 * R),
            ((ss * PI / 2 - PI) * R, -PI / 4 * R)][base]


def nucleus_planar(cid, ns=0, ss=0):
    base, level, row, col = _kivet.position(cid)
    x, y = upper_left(base, ns, ss)
    side = PI / 2 * R / 3**level
    return x + (col + 0.5) * side, y - (row + 0.5) * side


def locate(x, y, level, ns=0, ss=0):
    """(base, row, col, margin): the cell holding a planar point and the
    distance from the point to the nearest cell edge, metres."""
    bases = [b for b in range(6)
             if 0 <= x - upper_left(b, ns, ss)[0] <= PI / 2 * R
             and 0 <= upper_left(b, ns, ss)[1] - y <= PI / 2 * R]
    assert bases, (x, y)
    base = bases[-1]
    ux, uy = upper_left(base, ns, ss)
    side = PI / 2 * R / 3**level
    fx, fy = (x - ux) / side, (uy - y) / side
    col, row = min(int(fx), 3**level - 1), min(int(fy), 3**level - 1)
    margin = side * min(fx - int(fx), 1 - (fx - int(fx)), fy - int(fy), 1 - (fy - int(fy)))
    return base, row, col, margin
