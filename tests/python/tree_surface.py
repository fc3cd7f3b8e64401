"""What every tree class shows alike: its shared methods' docstrings, written once over
the name of its items, and their signatures when bound."""


def tree_method_docs(item, items, nearest_note=""):
    """The docstrings of the shared methods in table order, as `help()` shows them."""
    return {
        "geometry": f"geometry($self, index)\n--\n\nThe {item} at input position `index`.",
        "geometries": f"geometries($self)\n--\n\nEvery {item}, in input order.",
        "nearest": (
            f"nearest($self, query)\n--\n\nThe input position of the nearest {item} to `query`{nearest_note}, or "
            "`None` if the tree is empty."
        ),
        "nearest_with_distance": (
            f"nearest_with_distance($self, query)\n--\n\nThe `(input position, distance in metres)` of the nearest "
            f"{item} to `query`, or\n`None` if the tree is empty."
        ),
        "within_distance": (
            f"within_distance($self, query, radius_metres, return_distance=False)\n--\n\nThe input positions of every "
            f"{item} within `radius_metres` great-circle metres of\n`query`. With `return_distance=True`, "
            "`(index, distance)` pairs instead."
        ),
        "to_bytes": "to_bytes($self)\n--\n\nThe tree in its binary form, which `from_bytes` reads back.",
        "from_bytes": (
            "from_bytes($type, data)\n--\n\nThe tree whose binary form is `data` (made by `to_bytes`). Every field is\n"
            "checked; a truncated, corrupted or foreign buffer raises ValueError."
        ),
        "query": (
            'query($self, geometry, predicate="intersects", distance=None, return_distance=False, *, '
            f"oriented=True)\n--\n\nThe input positions, ascending, of the {items} in `predicate` with `geometry` "
            "(a\npoint, linestring or polygon, or a multipart one, as coordinates, shapely or GeoJSON-like),\nan "
            'int64 array. Predicates, a polygon holding its boundary: "intersects" (a shared\npoint), "covered_by" '
            f'(the {item} lies in `geometry`), "covers" (`geometry` lies in the\n{item}), "dwithin" (within '
            "`distance` great-circle metres). With\n`return_distance=True`, `(positions, metres)`: each one's "
            "metres to `geometry`, 0 where\nthey intersect. `oriented` reads polygons as the polygon tree's "
            "constructor does."
        ),
        "query_many": (
            'query_many($self, geometries, predicate="intersects", distance=None, workers=1, *, oriented=True)\n--\n\n'
            "Every `(geometry index, input position)` pair of a geometry in `geometries` (a sequence,\na GeoSeries, "
            f"an array of shapely geometries) and a {item} in `predicate` with it, as\nquery finds them: an int64 "
            "array of shape `(2, m)`, sorted. `distance` is one number\nor one per geometry; `workers` threads "
            "share the geometries (-1: every core), without\nthe GIL."
        ),
        "nearest_k": (
            "nearest_k($self, query, k, *, max_distance=None)\n--\n\nThe `(input position, distance in metres)` "
            f"of the `k` {items} nearest to `query`,\nnearest first, ties by the smaller position; with "
            "`max_distance`, only those within\nthat many metres."
        ),
        "query_nearest": (
            f"query_nearest($self, queries, k=1, *, max_distance=None, workers=1)\n--\n\nThe nearest {items} to "
            "each of `queries` (an `(n, 2)` array-like of `(lon, lat)`), as\nnearest_k finds them: `(positions, "
            "metres)` NumPy arrays of shape `(n,)` for `k=1`,\n`(n, k)` otherwise, rows padded with position -1 "
            "and distance inf. `workers`\nthreads share the queries (-1: every core), without the GIL."
        ),
        "query_within_distance": (
            "query_within_distance($self, queries, radius_metres, return_distance=False, *, "
            f"workers=1)\n--\n\nEvery `(query index, input position)` pair of a query in `queries` and a "
            f"{item}\nwithin `radius_metres` (one number, or one per query) of it, as within_distance\nfinds "
            "them: an int64 array of shape `(2, m)`, by query, and with\n`return_distance=True` also the "
            "float64 array of the m distances."
        ),
    }


# The signatures of the shared methods on an instance (to_bytes and from_bytes aside).
BOUND_SIGNATURES = {
    "geometry": "(index)",
    "geometries": "()",
    "nearest": "(query)",
    "nearest_with_distance": "(query)",
    "within_distance": "(query, radius_metres, return_distance=False)",
    "query": "(geometry, predicate='intersects', distance=None, return_distance=False, *, oriented=True)",
    "query_many": "(geometries, predicate='intersects', distance=None, workers=1, *, oriented=True)",
    "nearest_k": "(query, k, *, max_distance=None)",
    "query_nearest": "(queries, k=1, *, max_distance=None, workers=1)",
    "query_within_distance": "(queries, radius_metres, return_distance=False, *, workers=1)",
}
