import copy
import json
import random
import re

import pytest

import _kivet
from _kivet import Profile, Tree

URI = "https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix"


def descendants(rng, zone, depth, count):
    """Random cells at levels between the zone's and `depth`, all under `zone`."""
    level = _kivet.position(zone)[1]
    out = []
    for _ in range(count):
        c = zone
        for _ in range(rng.randint(0, depth - level)):
            c = c * 9 + rng.randrange(9)
        out.append(c)
    return out


def doc(data, depth=1, zone="N", **extra):
    d = {"dggrs": URI, "zoneId": zone, "depths": [depth],
         "values": {"v": [{"depth": depth, "shape": {"count": len(data), "subZones": len(data)},
                           "data": data}]}}
    d.update(extra)
    return d


NINE = [1, None, 0, 2.5, None, -3, None, None, 1]


class TestWriteThenRead:
    @pytest.mark.parametrize("zone_level,rel", [(0, 0), (0, 2), (1, 1), (2, 3), (3, 2), (4, 0), (1, 5)])
    @pytest.mark.parametrize("seed", range(3))
    def test_round_trip_gives_the_same_tree(self, seed, zone_level, rel):
        rng = random.Random(seed * 100 + zone_level * 10 + rel)
        zone = 9 + rng.randrange(6)
        for _ in range(zone_level):
            zone = zone * 9 + rng.randrange(9)
        depth = zone_level + rel
        t = Tree.from_cells(descendants(rng, zone, depth, rng.randint(0, 8)), depth)
        d = t.to_dggs_json(zone)
        assert list(d) == ["depths", "dggrs", "values", "zoneId"]
        assert d["dggrs"] == URI and d["zoneId"] == _kivet.cid_to_suid(zone)
        assert d["depths"] == [rel]
        (entry,) = d["values"]["coverage"]
        assert entry["shape"] == {"count": 9**rel, "subZones": 9**rel}
        assert Tree.from_dggs_json(d) == t
        assert Tree.from_dggs_json(json.dumps(d)) == t

    @pytest.mark.parametrize("zone", [9, 90, 1000])
    def test_values_follow_the_scanline_sub_zone_order(self, zone):
        rng = random.Random(zone)
        depth = _kivet.position(zone)[1] + 2
        t = Tree.from_cells(descendants(rng, zone, depth, 12), depth)
        data = t.to_dggs_json(zone, field="f")["values"]["f"][0]["data"]
        assert data == [1 if t.covers(c) else None for c in _kivet.subzones(zone, 2)]

    def test_uniform_trees_and_a_zone_at_the_tree_depth(self):
        whole = Tree.from_cells([9], 3)
        assert whole.to_dggs_json(85)["values"]["coverage"][0]["data"] == [1] * 81
        assert Tree.from_cells([], 3).to_dggs_json(85)["values"]["coverage"][0]["data"] == [None] * 81
        d = Tree.from_cells([729], 2).to_dggs_json(729)
        assert d["depths"] == [0]
        assert d["values"]["coverage"][0] == {"data": [1], "depth": 0,
                                              "shape": {"count": 1, "subZones": 1}}

    def test_cells_outside_the_zone_are_left_out(self):
        t = Tree.from_cells([81, 95], 2)
        assert Tree.from_dggs_json(t.to_dggs_json(9)) == Tree.from_cells([81], 2)

    def test_reading_lifts_a_deep_zone_into_its_base_cell(self):
        t = Tree.from_dggs_json(doc(NINE, zone="P34"))
        base = 11 * 81 + 3 * 9 + 4
        assert t.depth == 3
        assert t.cells() == [base * 9 + i for i in (0, 2, 3, 5, 8)]

    def test_zero_is_present_unless_nonzero(self):
        assert len(Tree.from_dggs_json(doc(NINE)).cells()) == 5
        t = Tree.from_dggs_json(doc(NINE), nonzero=True)
        assert t.cells() == [81 + i for i in (0, 3, 5, 8)]
        assert Tree.from_dggs_json(doc([0.0, -0.0] + [None] * 7), nonzero=True).is_empty()

    def test_field_and_depth_choose_among_several(self):
        d = doc(NINE)
        d["values"]["w"] = [{"depth": 0, "data": [5]}, {"depth": 1, "data": [None] * 9}]
        assert Tree.from_dggs_json(d, field="v").cells() == Tree.from_dggs_json(doc(NINE)).cells()
        assert Tree.from_dggs_json(d, field="w", depth=0).cells() == [9]
        assert Tree.from_dggs_json(d, field="w", depth=1).is_empty()

    def test_entries_without_depth_take_the_only_listed_depth(self):
        d = doc(NINE)
        del d["values"]["v"][0]["depth"]
        assert Tree.from_dggs_json(d) == Tree.from_dggs_json(doc(NINE))

    def test_shape_members_of_other_types_are_not_compared(self):
        d = doc(NINE)
        d["values"]["v"][0]["shape"] = {"count": "x", "subZones": -1}
        assert Tree.from_dggs_json(d) == Tree.from_dggs_json(doc(NINE))
        d["dimensions"] = []
        assert Tree.from_dggs_json(d) == Tree.from_dggs_json(doc(NINE))

    def test_tick_and_epoch_do_not_matter(self):
        p = Profile(tick_us=1000, epoch_us=5)
        t = Tree.from_dggs_json(doc(NINE), profile=p)
        assert t.profile == p
        assert Tree.from_cells(t.cells(), 1, p).to_dggs_json(9) == t.to_dggs_json(9)


def edited(path, value):
    d = doc(NINE)
    target = d
    for key in path[:-1]:
        target = target[key]
    if value is KeyError:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return d


ENTRY = ("values", "v", 0)
SEVERAL = {"dggrs": URI, "zoneId": "N", "depths": [1, 2],
           "values": {"v": [{"depth": 1, "data": NINE}, {"depth": 2, "data": [None] * 81}]}}

READ_ERRORS = [
    (edited(("dggrs",), KeyError), {},
     f'document DGGRS None is not the profile\'s "{URI}"'),
    (edited(("dggrs",), "http://example.org/dggrs"), {},
     f'document DGGRS Some("http://example.org/dggrs") is not the profile\'s "{URI}"'),
    (edited(("dggrs",), 7), {}, f'document DGGRS None is not the profile\'s "{URI}"'),
    ([1, 2], {}, f'document DGGRS None is not the profile\'s "{URI}"'),
    (edited(("dimensions",), [{"name": "time"}]), {},
     "zone data with extra dimensions has more than one value per sub-zone"),
    (edited(("zoneId",), KeyError), {}, "missing zoneId"),
    (edited(("zoneId",), 9), {}, "missing zoneId"),
    (edited(("zoneId",), "X1"), {}, "unknown base cell 'X'"),
    (edited(("values",), []), {}, "missing values"),
    (edited(("values",), {"a": [], "b": []}), {}, 'the document has several fields ["a", "b"]; name one'),
    (edited(("values",), {}), {}, "the document has several fields []; name one"),
    (doc(NINE), {"field": "w"}, 'no field "w"; the document has ["v"]'),
    (edited(("values", "v"), {"data": NINE}), {}, "a field's values must be an array"),
    (SEVERAL, {}, 'the document has several depths ["1", "2"]; name one'),
    (SEVERAL, {"depth": 3}, 'no depth "3"; the document has ["1", "2"]'),
    (edited(("values", "v"), [{"data": NINE}]) | {"depths": [1, 2]}, {},
     "a value entry names no depth"),
    (edited(("values", "v"), [{"data": NINE}]) | {"depths": [-1, 1.0]}, {},
     "a value entry names no depth"),
    (edited(ENTRY + ("shape",), {"count": 10}), {},
     'shape Some(Object {"count": Number(10)}) does not describe the 9 sub-zones at depth 1'),
    (edited(ENTRY + ("shape",), {"subZones": 8, "x": [None, True, "a\\"]}), {},
     'shape Some(Object {"subZones": Number(8), "x": Array [Null, Bool(true), String("a\\\\")]}) '
     "does not describe the 9 sub-zones at depth 1"),
    (edited(ENTRY + ("data",), KeyError), {}, "missing data"),
    (edited(ENTRY + ("data",), {"0": 1}), {}, "missing data"),
    (edited(ENTRY + ("data",), NINE[:8]), {}, "8 values for the 9 sub-zones at depth 1"),
    (edited(ENTRY + ("data",), NINE[:8] + [True]), {}, "zone data value true is not a number or null"),
    (edited(ENTRY + ("data",), NINE[:8] + ["1"]), {}, 'zone data value "1" is not a number or null'),
    (edited(ENTRY + ("data",), NINE[:8] + [[1]]), {}, "zone data value [1] is not a number or null"),
    (edited(ENTRY + ("depth",), 10), {}, "depth 10 has too many sub-zones"),
    (edited(ENTRY + ("depth",), 2**32), {}, "depth 4294967296 has too many sub-zones"),
    (doc([None] * 81, depth=2, zone="N" + "0" * 17), {},
     "depth 2 below a level-17 zone is deeper than the deepest level, 18"),
]


class TestReadErrors:
    @pytest.mark.parametrize("document,kwargs,message", READ_ERRORS)
    def test_each_defect_has_its_message(self, document, kwargs, message):
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            Tree.from_dggs_json(copy.deepcopy(document), **kwargs)

    def test_unregistered_profiles_are_refused_both_ways(self):
        p = Profile.kivet_1()
        message = ("profile H(9,6) rhealpix lon_0=0 ns=0 ss=0 a=6378137 1/f=298.257223563 "
                   "hash=sha256 tick=1us epoch=0 is not a registered DGGRS; its zone ids "
                   "would be read against another grid")
        with pytest.raises(ValueError, match=re.escape(message)):
            Tree.from_dggs_json(doc(NINE), profile=p)
        with pytest.raises(ValueError, match=re.escape(message)):
            Tree.from_cells([9], 1, p).to_dggs_json(9)
        with pytest.raises(ValueError, match="ns=1 ss=0 .* is not a registered DGGRS"):
            Tree.from_cells([9], 1, Profile(north_square=1)).to_dggs_json(9)

    def test_arguments_are_checked_before_the_document(self):
        with pytest.raises(OverflowError, match="depth"):
            Tree.from_dggs_json("not json", depth=-1)
        with pytest.raises(TypeError, match="nonzero"):
            Tree.from_dggs_json("not json", nonzero=1)
        with pytest.raises(ValueError, match="^not JSON: "):
            Tree.from_dggs_json("not json")


class TestWriteErrors:
    def test_zone_deeper_than_the_tree(self):
        with pytest.raises(ValueError, match=re.escape("cid 729 is at level 2, deeper than 1")):
            Tree.from_cells([81], 1).to_dggs_json(729)

    def test_ten_levels_below_the_zone_are_too_many(self):
        with pytest.raises(ValueError, match=re.escape("depth 10 has too many sub-zones")):
            Tree.from_cells([], 10).to_dggs_json(9)

    def test_zone_must_be_a_cid(self):
        with pytest.raises(ValueError, match=re.escape("not a cid: 5")):
            Tree.from_cells([], 1).to_dggs_json(5)
        with pytest.raises(TypeError, match="field"):
            Tree.from_cells([], 1).to_dggs_json(9, field=None)
