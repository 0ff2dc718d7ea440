"""Opening records: Merkle paths proving one cell covered or uncovered."""

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kivet
from _kivet import Tree, verify_opening
import reference
from json_mutations import change_number, flip_hex, json_values, resize_list
from reference import level as level_of

A, B = 9, 6
SETTINGS = settings(derandomize=True, max_examples=25, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def ladders(depth, a=A):
    empty, full = reference.ladders(depth, a)
    return [h.hex() for h in empty], [h.hex() for h in full]


def cells_at(level):
    return range(A * A**level, (A + B) * A**level)


def leaf_range(cid, depth):
    span = A ** (depth - level_of(cid))
    return range(cid * span, (cid + 1) * span)


@st.composite
def cell_lists(draw, depth):
    """Cells at mixed levels, sometimes a whole family, so that Full and
    partial nodes occur at every height."""
    cells = []
    for _ in range(draw(st.integers(0, 12))):
        level = draw(st.integers(0, depth))
        cell = draw(st.sampled_from(cells_at(level)))
        if level < depth and draw(st.booleans()):
            keep = draw(st.integers(1, A))
            cells += [cell * A + i for i in range(keep)]
        else:
            cells.append(cell)
    return cells


def opened(record):
    """The cell a record opens and its claim, read from the open entries."""
    opening = record["opening"]
    entries = opening["entries"]
    (base,) = [i for i, e in enumerate(entries) if isinstance(e, dict)]
    cid, node = A + base, entries[base]
    while "entries" in node:
        (digit,) = [i for i, e in enumerate(node["entries"]) if isinstance(e, dict)]
        cid, node = cid * A + digit, node["entries"][digit]
    return cid, node["claim"]


class TestOpeningsAgreeWithTheLeafSet:
    @SETTINGS
    @given(st.data())
    def test_every_cell_opens_to_its_coverage_and_verifies(self, data):
        depth = data.draw(st.integers(0, 2))
        cells = data.draw(cell_lists(depth))
        tree = Tree.from_cells(cells, depth)
        leaves = set(tree.leaves())
        for level in range(depth + 1):
            for cid in cells_at(level):
                inside = sum(leaf in leaves for leaf in leaf_range(cid, depth))
                record = tree.open(cid)
                if 0 < inside < A ** (depth - level):
                    assert record is None
                    continue
                assert opened(record) == (cid, "full" if inside else "empty")
                assert record["root"] == tree.root_hex
                assert verify_opening(record) is True

    def test_record_layout(self):
        tree = Tree.from_cells([9 * 81 + 40], 3)
        record = tree.open(9 * 81 + 40)
        assert list(record) == ["A", "B", "D", "hash", "opening", "root", "v"]
        assert (record["A"], record["B"], record["D"], record["hash"], record["v"]) == (
            9, 6, 3, "sha256", 1)
        top = record["opening"]["entries"]
        assert len(top) == B and isinstance(top[0], dict)
        assert all(isinstance(e, str) for e in top[1:])
        node = top[0]
        for digit in (4, 4):
            assert len(node["entries"]) == A
            assert [isinstance(e, dict) for e in node["entries"]].count(True) == 1
            node = node["entries"][digit]
        assert node == {"claim": "full"}
        text = json.dumps(record, separators=(",", ":"))
        assert text == json.dumps(record, separators=(",", ":"), sort_keys=True)

    def test_json_text_form_verifies(self):
        record = Tree.from_cells([10, 100], 2).open(100)
        assert verify_opening(json.dumps(record)) is True

    def test_cell_inside_full_base_lists_full_ladder_siblings(self):
        depth = 4
        tree = Tree.from_cells([11], depth)
        _, full = ladders(depth)
        cid = 11 * A**3 + 2 * 81 + 5 * 9 + 8
        record = tree.open(cid)
        node, height = record["opening"]["entries"][2], depth
        for digit in (2, 5, 8):
            siblings = [e for i, e in enumerate(node["entries"]) if i != digit]
            assert siblings == [full[height - 1]] * (A - 1)
            node, height = node["entries"][digit], height - 1
        assert node == {"claim": "full"}
        assert verify_opening(record) is True

    def test_cell_of_empty_tree_lists_empty_ladder(self):
        depth = 3
        empty, _ = ladders(depth)
        tree = Tree.from_cells([], depth)
        record = tree.open(13 * 81 + 1)
        assert record["opening"]["entries"][:4] == [empty[depth]] * 4
        assert record["opening"]["entries"][4]["entries"][1:] == [empty[depth - 1]] * 8
        assert opened(record) == (13 * 81 + 1, "empty")
        assert verify_opening(record) is True


class TestOpenErrors:
    def test_deeper_than_tree(self):
        tree = Tree.from_cells([], 2)
        with pytest.raises(ValueError, match=re.escape("cid 7290 is at level 3, deeper than 2")):
            tree.open(7290)

    def test_not_a_cid(self):
        with pytest.raises(ValueError, match=re.escape("not a cid: 3")):
            Tree.from_cells([], 2).open(3)

    def test_argument_types(self):
        tree = Tree.from_cells([], 2)
        with pytest.raises(TypeError, match="cid"):
            tree.open("9")
        with pytest.raises(OverflowError, match="cid"):
            tree.open(-1)


def sample_record():
    tree = Tree.from_cells([9 * 9 + 1, 9 * 81 + 20, 12, 13 * 9 + 8], 2)
    return tree.open(9 * 81 + 20)


class TestVerifierRejectsTampering:
    RECORD = sample_record()

    @SETTINGS
    @given(st.data())
    def test_any_single_edit_is_rejected(self, data):
        edit = data.draw(st.sampled_from([flip_hex, change_number, resize_list]))
        assert verify_opening(data.draw(edit(self.RECORD))) is False

    def test_swapped_claim(self):
        record = json.loads(json.dumps(self.RECORD).replace('"full"', '"empty"'))
        assert verify_opening(record) is False

    @pytest.mark.parametrize(
        "edit",
        [
            lambda r: r.pop("v"),
            lambda r: r.pop("hash"),
            lambda r: r.update(hash="SHA256"),
            lambda r: r.update(root=r["root"].upper()),
            lambda r: r.update(root=r["root"] + "00"),
            lambda r: r.update(A=4097),
            lambda r: r.update(opening={"claim": "full"}),
            lambda r: r["opening"]["entries"][0].update(claim="Full"),
            lambda r: r["opening"]["entries"][0].update(claim=True),
            lambda r: r["opening"]["entries"][0].update(entries=[]),
            lambda r: r.pop("opening"),
        ],
    )
    def test_named_defects(self, edit):
        record = json.loads(json.dumps(self.RECORD))
        edit(record)
        assert verify_opening(record) is False

    def test_claim_key_wins_over_entries(self):
        record = json.loads(json.dumps(self.RECORD))
        record["opening"]["entries"][0]["claim"] = "full"
        assert verify_opening(record) is False

    def test_open_entry_below_the_leaves_is_rejected(self):
        # A leaf opened one level further: an entries list at height 0.
        tree = Tree.from_cells([], 1)
        record = tree.open(90)
        leaf = record["opening"]["entries"][1]["entries"][0]
        assert leaf == {"claim": "empty"}
        assert verify_opening(record) is True
        record["opening"]["entries"][1]["entries"][0] = {
            "entries": [{"claim": "empty"}] * A}
        assert verify_opening(record) is False

    def test_several_open_entries_verify_when_every_claim_holds(self):
        tree = Tree.from_cells([9], 1)
        record = tree.open(81)
        record["opening"]["entries"][1] = tree.open(90)["opening"]["entries"][1]
        assert verify_opening(record) is True
        record["opening"]["entries"][1]["entries"][0] = {"claim": "full"}
        assert verify_opening(record) is False


class TestVerifierNeverRaises:
    @settings(derandomize=True, max_examples=150, deadline=None)
    @given(json_values())
    def test_arbitrary_json_is_false(self, value):
        if not isinstance(value, str):
            assert verify_opening(value) is False
        assert verify_opening(json.dumps(value)) is False

    def test_hostile_shapes_are_cheap_and_false(self):
        base = {"v": 1, "hash": "sha256", "root": "0" * 64,
                "opening": {"entries": ["0" * 64]}}
        for shape in [(4096, 1, 4), (2, 1, 62), (2, 1, 63), (4096, 1, 5),
                      (2**32 - 1, 1, 1), (9, 6, 2**32 - 1)]:
            record = dict(base, A=shape[0], B=shape[1], D=shape[2])
            assert verify_opening(record) is False

    def test_deep_nesting_is_false(self):
        record = {"v": 1, "A": 2, "B": 1, "D": 62, "hash": "sha256", "root": "0" * 64}
        node = {"claim": "full"}
        for _ in range(60):
            node = {"entries": [node, "0" * 64]}
        record["opening"] = {"entries": [node]}
        assert verify_opening(record) is False

    def test_unconvertible_argument_raises(self):
        with pytest.raises(ValueError, match=re.escape("not JSON (")):
            verify_opening({"v": {1, 2}})
        with pytest.raises(ValueError, match="^not JSON: "):
            verify_opening("NaN")


def test_module_surface():
    assert _kivet.verify_opening.__text_signature__ == "(record)"
    assert Tree.open.__text_signature__ == "($self, cid)"
