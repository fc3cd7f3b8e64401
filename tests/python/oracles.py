"""Brute-force geometry the tests check sferix against: great circles on the mean sphere
in plain vector algebra, and the rectangle membership rule on lon/lat, written
independently of the extension's own code."""

import math

# The mean Earth radius sferix measures great-circle metres with.
EARTH_RADIUS_METRES = 6371008.8


def unit(lon, lat):
    """The unit vector of a lon/lat in degrees."""
    lam, phi = math.radians(lon), math.radians(lat)
    return (math.cos(phi) * math.cos(lam), math.cos(phi) * math.sin(lam), math.sin(phi))


def dot(u, v):
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]


def cross(u, v):
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def norm(u):
    return math.sqrt(dot(u, u))


def angle(u, v):
    """The angle between two vectors, accurate near 0 and π alike."""
    return math.atan2(norm(cross(u, v)), dot(u, v))


def haversine(lon1, lat1, lon2, lat2):
    """Great-circle metres between two lon/lats, by the haversine formula."""
    phi1, phi2 = math.radians(lat1), math.radians(lat2)
    dphi = phi2 - phi1
    dlam = math.radians(lon2 - lon1)
    h = math.sin(dphi / 2) ** 2 + math.cos(phi1) * math.cos(phi2) * math.sin(dlam / 2) ** 2
    return 2 * EARTH_RADIUS_METRES * math.asin(min(1.0, math.sqrt(h)))


def arc_metres(p, a, b):
    """Great-circle metres from unit vector p to the minor arc from a to b."""
    ends = min(angle(p, a), angle(p, b))
    # (a - b) x (a + b) = 2 a x b, without the cancellation that ruins short arcs.
    n = cross(tuple(x - y for x, y in zip(a, b)), tuple(x + y for x, y in zip(a, b)))
    if norm(n) > 1e-15 and dot(cross(a, p), n) >= 0 and dot(cross(p, b), n) >= 0:
        nn = norm(n)
        off = dot(p, n) / nn
        foot = tuple(pi - off * ni / nn for pi, ni in zip(p, n))
        return EARTH_RADIUS_METRES * min(ends, abs(math.atan2(off, norm(foot))))
    return EARTH_RADIUS_METRES * ends


def in_rectangle(lon, lat, w, s, e, n):
    """The rectangle membership rule on the stored lon/lat: a window with w > e crosses the
    antimeridian, ±180 are one meridian, and a pole lies in every window reaching it."""
    if lat < s or lat > n:
        return False
    if abs(lat) == 90:
        return True

    def window(x):
        return w <= x <= e if w <= e else (x >= w or x <= e)

    return window(lon) or (abs(lon) == 180 and window(-lon))


def _slerp(a, b, t):
    """The point at fraction t along the minor arc from unit vector a to b."""
    theta = angle(a, b)
    if theta == 0.0:
        return a
    s = math.sin(theta)
    wa, wb = math.sin((1 - t) * theta) / s, math.sin(t * theta) / s
    return tuple(wa * x + wb * y for x, y in zip(a, b))


def _lonlat(v):
    return math.degrees(math.atan2(v[1], v[0])), math.degrees(math.atan2(v[2], math.hypot(v[0], v[1])))


def arc_metres_wgs84(query, a, b, samples=64):
    """The smallest WGS84 geodesic metres (geographiclib) from `query` (lon, lat) to the
    great-circle arc between the lon/lats a and b, each arc point read as the lon/lat of
    its direction: dense sampling, then golden-section search around every sampled local
    minimum."""
    from geographiclib.geodesic import Geodesic

    ua, ub = unit(*a), unit(*b)

    def at(t):
        lon, lat = _lonlat(_slerp(ua, ub, t))
        return Geodesic.WGS84.Inverse(query[1], query[0], lat, lon, Geodesic.DISTANCE)["s12"]

    values = [at(i / samples) for i in range(samples + 1)]
    best = min(values)
    ratio = (math.sqrt(5) - 1) / 2
    for i, value in enumerate(values):
        if (i > 0 and values[i - 1] < value) or (i < samples and values[i + 1] < value):
            continue
        lo, hi = max(0, i - 1) / samples, min(samples, i + 1) / samples
        while hi - lo > 1e-13:
            m1, m2 = hi - ratio * (hi - lo), lo + ratio * (hi - lo)
            f1, f2 = at(m1), at(m2)
            best = min(best, f1, f2)
            if f1 < f2:
                hi = m2
            else:
                lo = m1
    return best


def chain_metres_wgs84(query, chain, samples=64):
    """arc_metres_wgs84 to the nearest edge of a chain of lon/lats."""
    return min(arc_metres_wgs84(query, a, b, samples) for a, b in zip(chain, chain[1:]))
