"""Set-operation transcripts: proving a union, intersection or difference from
three roots alone."""

import copy
import hashlib
import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kivet
from _kivet import Profile, Tree, verify_setop
from json_mutations import change_number, flip_hex, json_values, resize_list

A, B = 9, 6
OPS = ["union", "intersect", "difference"]
SETTINGS = settings(derandomize=True, max_examples=30, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


def cells_at(level):
    return range(A * A**level, (A + B) * A**level)


def model(op, a, b):
    return {"union": a | b, "intersect": a & b, "difference": a - b}[op]


def all_steps(steps):
    for step in steps:
        yield step
        yield from all_steps(step.get("children", []))


@st.composite
def cell_lists(draw, depth):
    cells = []
    for _ in range(draw(st.integers(0, 12))):
        level = draw(st.integers(0, depth))
        cell = draw(st.sampled_from(cells_at(level)))
        if level < depth and draw(st.booleans()):
            cells += [cell * A + i for i in range(draw(st.integers(1, A)))]
        else:
            cells.append(cell)
    return cells


def named_pairs(depth=3):
    """(name, a cells, b cells) for the classic relations of two coverages."""
    part = [9 * A**depth + i for i in range(0, 300, 7)] + [10 * A + 3]
    other = [9 * A**depth + i for i in range(3, 400, 5)] + [12]
    return [
        ("equal", part, list(part)),
        ("disjoint", [9 * A**depth + 1, 10], [11, 13 * A**depth + 4]),
        ("nested", part, part + [11, 9 * A + 8]),
        ("overlapping", part, other),
        ("empty", [], part),
        ("empty both", [], []),
        ("full", list(cells_at(0)), part),
        ("full both", list(cells_at(0)), list(cells_at(0))),
    ]


class TestTranscriptsProveTheOperation:
    @pytest.mark.parametrize("op", OPS)
    @pytest.mark.parametrize("name,a_cells,b_cells", named_pairs())
    def test_named_relations(self, name, a_cells, b_cells, op):
        for first, second in [(a_cells, b_cells), (b_cells, a_cells)]:
            a, b = Tree.from_cells(first, 3), Tree.from_cells(second, 3)
            proof = a.prove(b, op)
            expected = getattr(a, op)(b)
            assert proof["root_c"] == expected.root_hex
            assert (proof["root_a"], proof["root_b"]) == (a.root_hex, b.root_hex)
            assert verify_setop(proof) is True

    @SETTINGS
    @given(st.data())
    def test_random_trees_against_leaf_sets(self, data):
        depth = data.draw(st.integers(0, 3))
        a_cells = data.draw(cell_lists(depth))
        b_cells = data.draw(cell_lists(depth))
        a, b = Tree.from_cells(a_cells, depth), Tree.from_cells(b_cells, depth)
        for op in OPS:
            proof = a.prove(b, op)
            leaves = model(op, set(a.leaves()), set(b.leaves()))
            assert proof["root_c"] == Tree.from_cells(sorted(leaves), depth).root_hex
            assert verify_setop(proof) is True
            assert verify_setop(json.dumps(proof)) is True

    def test_self_union_is_one_decided_step_per_base(self):
        t = Tree.from_cells([9 * 81 + 3, 12], 3)
        proof = t.prove(t, "union")
        assert len(proof["steps"]) == B
        assert not any("children" in s for s in proof["steps"])
        assert proof["root_a"] == proof["root_b"] == proof["root_c"] == t.root_hex

    def test_self_difference_proves_the_empty_root(self):
        t = Tree.from_cells([9 * 81 + 3, 12], 3)
        assert t.prove(t, "difference")["root_c"] == Tree.from_cells([], 3).root_hex

    def test_one_step_per_visited_pair(self):
        # Both trees partial in base 0 only, differing in one leaf: the walk
        # descends along that leaf's path (3 levels of 9) and nowhere else.
        a = Tree.from_cells([9 * 729 + 1, 9 * 729 + 2], 3)
        b = Tree.from_cells([9 * 729 + 1], 3)
        proof = a.prove(b, "union")
        assert sum(1 for _ in all_steps(proof["steps"])) == B + 3 * A
        descended = [s for s in all_steps(proof["steps"]) if "children" in s]
        assert [len(s["children"]) for s in descended] == [A, A, A]

    def test_key_order(self):
        a = Tree.from_cells([9 * 81 + 1], 2)
        b = Tree.from_cells([9 * 81 + 2], 2)
        proof = a.prove(b, "intersect")
        assert list(proof) == ["A", "B", "D", "hash", "op", "root_a", "root_b",
                               "root_c", "steps", "v"]
        assert (proof["A"], proof["B"], proof["D"], proof["hash"], proof["op"],
                proof["v"]) == (9, 6, 2, "sha256", "intersect", 1)
        assert list(proof["steps"][0]) == ["a", "b", "c", "children"]
        assert list(proof["steps"][1]) == ["a", "b", "c"]
        # Keys ascend at every level, as the reader's writer puts them: a
        # transcript read back and written again is the same text.
        text = json.dumps(proof, separators=(",", ":"))
        assert text == json.dumps(proof, separators=(",", ":"), sort_keys=True)

    def test_profiles_differing_in_longitude_prove_alike(self):
        a = Tree.from_cells([9 * 81 + 1], 2, Profile.kivet_1())
        b = Tree.from_cells([9 * 81 + 2], 2)
        assert a.prove(b, "union") == Tree.from_cells([9 * 81 + 1], 2).prove(b, "union")


class TestProveErrors:
    def test_unknown_op_before_compatibility(self):
        a, b = Tree.from_cells([], 2), Tree.from_cells([], 3)
        for text, shown in [("Union", '"Union"'), ("", '""'),
                            ('x"\\\n', '"x\\"\\\\\\n"')]:
            with pytest.raises(ValueError, match=re.escape("unknown op " + shown) + "$"):
                a.prove(b, text)

    def test_incompatible_trees(self):
        a, b = Tree.from_cells([], 3), Tree.from_cells([], 4)
        text = "depth mismatch: 3 vs 4; depth is part of a root's identity"
        with pytest.raises(ValueError, match=re.escape(text)):
            a.prove(b, "union")

    def test_argument_types(self):
        t = Tree.from_cells([], 2)
        with pytest.raises(TypeError, match="other"):
            t.prove("tree", "union")
        with pytest.raises(TypeError, match="op"):
            t.prove(t, 0)


def sample_pair():
    a = Tree.from_cells([9 * 81 + i for i in range(0, 40, 3)] + [11, 12 * 9 + 2], 2)
    b = Tree.from_cells([9 * 81 + i for i in range(0, 60, 4)] + [12], 2)
    return a, b


A_TREE, B_TREE = sample_pair()
PROOFS = {op: A_TREE.prove(B_TREE, op) for op in OPS}


class TestVerifierRejectsTampering:

    @SETTINGS
    @given(st.sampled_from(OPS), st.data())
    def test_any_single_edit_is_rejected(self, op, data):
        edit = data.draw(st.sampled_from([flip_hex, change_number, resize_list]))
        assert verify_setop(data.draw(edit(PROOFS[op]))) is False

    @SETTINGS
    @given(st.sampled_from(OPS), st.data())
    def test_children_added_or_dropped(self, op, data):
        proof = copy.deepcopy(PROOFS[op])
        steps = list(all_steps(proof["steps"]))
        step = data.draw(st.sampled_from(steps))
        if "children" in step:
            del step["children"]
        else:
            step["children"] = [{"a": step["a"], "b": step["b"], "c": step["c"]}] * A
        assert verify_setop(proof) is False

    @pytest.mark.parametrize("op", OPS)
    @pytest.mark.parametrize("other", OPS)
    def test_relabelled_op_passes_only_when_every_step_decides_alike(self, op, other):
        trees = [A_TREE, B_TREE, Tree.from_cells([], 2),
                 Tree.from_cells(list(cells_at(0)), 2)]
        for a in trees:
            for b in trees:
                proof = dict(a.prove(b, op), op=other)
                assert verify_setop(proof) is (a.prove(b, other) == proof)

    def test_self_union_relabelled_as_intersect_passes(self):
        proof = dict(A_TREE.prove(A_TREE, "union"), op="intersect")
        assert verify_setop(proof) is True

    @pytest.mark.parametrize(
        "edit",
        [
            lambda p: p.pop("v"),
            lambda p: p.pop("hash"),
            lambda p: p.update(hash="sha-256"),
            lambda p: p.update(op="Union"),
            lambda p: p.update(root_c=p["root_c"].upper()),
            lambda p: p["steps"][0].update(a=p["steps"][0]["a"].upper()),
            lambda p: p.update(A=1),
            lambda p: p["steps"][0].update(children={}),
            lambda p: p["steps"][0]["children"].pop(),
            lambda p: p["steps"][0]["children"].append(p["steps"][1]),
            lambda p: p["steps"][1].update(children=[]),
            lambda p: p.update(steps={}),
        ],
    )
    def test_named_defects(self, edit):
        proof = copy.deepcopy(PROOFS["union"])
        assert "children" in proof["steps"][0] and "children" not in proof["steps"][1]
        edit(proof)
        assert verify_setop(proof) is False


class TestVerifierNeverRaises:
    @settings(derandomize=True, max_examples=150, deadline=None)
    @given(json_values())
    def test_arbitrary_json_is_false(self, value):
        if not isinstance(value, str):
            assert verify_setop(value) is False
        assert verify_setop(json.dumps(value)) is False

    @pytest.mark.parametrize("shape", [(4096, 1, 4), (2, 1, 62), (2, 1, 63),
                                       (4096, 1, 5), (2**32, 1, 1), (9, 6, 2**32 - 1)])
    def test_hostile_shapes_are_false(self, shape):
        step = {"a": "0" * 64, "b": "0" * 64, "c": "0" * 64}
        proof = {"v": 1, "hash": "sha256", "op": "union", "root_a": "0" * 64,
                 "root_b": "0" * 64, "root_c": "0" * 64, "steps": [step],
                 "A": shape[0], "B": shape[1], "D": shape[2]}
        assert verify_setop(proof) is False

    def test_deepest_shape_verifies_without_trees(self):
        # A = 2, B = 1 reaches depth 62: a hand-made transcript of two empty
        # trees still verifies, with ladders built from the record alone.
        def sha(tag, *parts):
            return hashlib.sha256(bytes([tag]) + b"".join(parts)).digest()

        e = sha(0)
        for _ in range(62):
            e = sha(2, e, e)
        root = sha(3, e).hex()
        proof = {"v": 1, "hash": "sha256", "op": "union", "A": 2, "B": 1, "D": 62,
                 "root_a": root, "root_b": root, "root_c": root,
                 "steps": [{"a": e.hex(), "b": e.hex(), "c": e.hex()}]}
        assert verify_setop(proof) is True

    def test_unconvertible_argument_raises(self):
        with pytest.raises(ValueError, match=re.escape("not JSON (")):
            verify_setop({"steps": {1}})


def test_module_surface():
    assert _kivet.verify_setop.__text_signature__ == "(proof)"
    assert Tree.prove.__text_signature__ == "($self, other, op)"
