"""Reading GeoJSON areas: the accepted shapes and every refusal, first
fault in document order."""

import json
import re

import pytest

from _kivet import Tree, fingerprint_polygon, polyfill

SQUARE = [[0, 0], [40, 0], [40, 40], [0, 40], [0, 0]]


def poly(*rings):
    return {"type": "Polygon", "coordinates": list(rings)}


def refused(doc, text):
    """The same message from every entry and from text and data alike."""
    for entry in (polyfill, fingerprint_polygon, Tree.from_geojson):
        for arg in (doc, json.dumps(doc)):
            with pytest.raises(ValueError, match=re.escape(text) + "$"):
                entry(arg, 2)


class TestRefusals:
    @pytest.mark.parametrize("doc,type_text", [
        ({"type": "FeatureCollection", "features": []}, '"FeatureCollection"'),
        ({"type": "GeometryCollection", "geometries": []}, '"GeometryCollection"'),
        ({"type": "Point", "coordinates": [0, 0]}, '"Point"'),
        ({"type": "polygon", "coordinates": [SQUARE]}, '"polygon"'),
        ({"coordinates": [SQUARE]}, '""'),
        ({"type": 7, "coordinates": [SQUARE]}, '""'),
        ([SQUARE], '""'),
        (5, '""'),
        (None, '""'),
        ({"type": "Feature", "geometry": None}, '""'),
        ({"type": "Feature", "geometry": [SQUARE]}, '""'),
        ({"type": "Feature", "geometry": {"type": "Feature", "geometry": {}}}, '""'),
        ({"type": 'Po"ly\\gon\n'}, '"Po\\"ly\\\\gon\\n"'),
        # every control character is escaped, C1 (U+0080-U+009F) included
        ({"type": "\t\x01\x7f\x85\x9f\xa0\u00e9"}, '"\\t\\u{1}\\u{7f}\\u{85}\\u{9f}\xa0\u00e9"'),
    ])
    def test_unsupported_types_are_named_quoted(self, doc, type_text):
        refused(doc, f"unsupported GeoJSON type {type_text}; need Polygon or MultiPolygon")

    @pytest.mark.parametrize("doc,text", [
        ({"type": "Feature"}, "feature without geometry"),
        ({"type": "Feature", "geometry": {"type": "Feature"}}, "feature without geometry"),
        ({"type": "Polygon"}, "missing coordinates"),
        ({"type": "MultiPolygon"}, "missing coordinates"),
        ({"type": "MultiPolygon", "coordinates": {}}, "missing coordinates"),
        ({"type": "MultiPolygon", "coordinates": 3}, "missing coordinates"),
        ({"type": "Polygon", "coordinates": {}}, "polygon must be an array of rings"),
        ({"type": "Polygon", "coordinates": None}, "polygon must be an array of rings"),
        ({"type": "MultiPolygon", "coordinates": [[SQUARE], 5]}, "polygon must be an array of rings"),
        ({"type": "Polygon", "coordinates": []}, "polygon has no rings"),
        ({"type": "MultiPolygon", "coordinates": [[SQUARE], []]}, "polygon has no rings"),
        (poly(SQUARE, "ring"), "ring must be an array"),
        (poly({"0": [0, 0]}), "ring must be an array"),
        (poly([[10.5]]), "position must be [lon, lat]"),
        (poly([[0, 0], 5]), "position must be [lon, lat]"),
        (poly([[0, 0], []]), "position must be [lon, lat]"),
        (poly([["10", 20]]), "position must be numeric"),
        (poly([[10, None]]), "position must be numeric"),
        (poly([[True, 1]]), "position must be numeric"),
    ])
    def test_messages(self, doc, text):
        refused(doc, text)

    @pytest.mark.parametrize("doc,text", [
        # the first fault met wins: polygons, then rings, then positions
        ({"type": "MultiPolygon", "coordinates": [[[[0, "x"]]], []]}, "position must be numeric"),
        ({"type": "MultiPolygon", "coordinates": [[], [[[0, "x"]]]]}, "polygon has no rings"),
        (poly([[0, 0], [1]], 5), "position must be [lon, lat]"),
        (poly(5, [[0, "x"]]), "ring must be an array"),
        (poly([[0, 0], ["a", 1], [2]]), "position must be numeric"),
    ])
    def test_first_fault_in_document_order(self, doc, text):
        refused(doc, text)

    def test_resolution_is_checked_after_the_geometry(self):
        with pytest.raises(ValueError, match=re.escape("polygon has no rings")):
            polyfill({"type": "Polygon", "coordinates": []}, 16)


class TestAcceptedShapes:
    def test_open_rings_are_closed(self):
        open_ring = poly([[0, 0], [40, 0], [40, 40], [0, 40]])
        assert polyfill(open_ring, 3) == polyfill(poly(SQUARE), 3) != []

    def test_integer_float_and_extra_members_read_alike(self):
        ints = poly([[0, 0], [40, 0], [40, 40]])
        floats = {"type": "Polygon", "bbox": [0, 0, 40, 40], "id": 3, "foo": {"bar": 1},
                  "coordinates": [[[0.0, 0.0, 12.5], [40.0, 0.0, "x"], [40.0, 40.0, None, 1]]]}
        assert polyfill(ints, 3) == polyfill(floats, 3) != []

    def test_feature_and_nested_feature_wrap_a_geometry(self):
        inner = {"type": "MultiPolygon", "coordinates": [[SQUARE]]}
        feature = {"type": "Feature", "properties": None, "geometry": inner}
        nested = {"type": "Feature", "geometry": feature}
        want = polyfill(poly(SQUARE), 3)
        assert polyfill(feature, 3) == polyfill(nested, 3) == polyfill(inner, 3) == want

    def test_empty_collections_and_rings_cover_nothing(self):
        for doc in ({"type": "MultiPolygon", "coordinates": []}, poly([]), poly([], SQUARE),
                    poly([[5, 5]]), poly([[5, 5], [6, 6]])):
            assert polyfill(doc, 2) == []

    @pytest.mark.parametrize("ring", [
        [[-400, -100], [400, -100], [400, 100], [-400, 100]],
        [[-(2 ** 63), -(2 ** 63)], [2 ** 64 - 1, -(2 ** 63)], [0, 2 ** 64 - 1]],
    ])
    def test_coordinates_pass_unchanged(self, ring):
        # no range check or wrapping: a ring drawn round the whole plane covers all
        assert len(polyfill(poly(ring), 1)) == 6 * 9
