"""The binary form of a tree: round trips, the documented layout read by an
independent decoder, and every malformed input refused with its offset."""

import random
import re
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kivet import KIVET_1, Profile, Tree
from reference import RefTree, leaves_of, random_cids
from test_leaks import assert_flat, swallow

FIELDS = struct.Struct(">IIqBBQQQq")  # the nine integer fields after the hash name
OGC_HEADER = 4 + 1 + 1 + 6 + FIELDS.size + 4 + 8  # 74: magic .. branch count


# An independent reader and writer of the documented layout.

def profile_fields(p):
    d = p.to_dict()
    return (d["aperture"], d["n_base"], d["lon_0_udeg"], d["north_square"],
            d["south_square"], d["a_um"], d["inv_f_nano"], d["tick_us"], d["epoch_us"])


def encode(codes, branches, depth, root, *, fields=None, name=b"sha256",
           magic=b"KVTR", version=1):
    fields = fields or profile_fields(Profile())
    shape = bytearray((len(codes) + 3) // 4)
    for j, c in enumerate(codes):
        shape[j // 4] |= c << (2 * (j % 4))
    return (magic + bytes([version, len(name)]) + name + FIELDS.pack(*fields)
            + struct.pack(">IQ", depth, branches) + bytes(shape) + root)


def decode(data):
    """(header dict, canonical cells) read by the documented rules."""
    assert data[:5] == b"KVTR\x01"
    n = data[5]
    name = data[6:6 + n].decode()
    at = 6 + n
    a, b, *rest = FIELDS.unpack_from(data, at)
    at += FIELDS.size
    depth, branches = struct.unpack_from(">IQ", data, at)
    at += 12
    count = b + a * branches
    shape, root = data[at:at + (count + 3) // 4], data[at + (count + 3) // 4:]
    codes = [(shape[j // 4] >> (2 * (j % 4))) & 3 for j in range(count)]
    it = iter(codes)
    cells = []

    def branch(cid):
        kinds = [next(it) for _ in range(a)]
        for i, k in enumerate(kinds):
            if k == 1:
                cells.append(cid * a + i)
        for i, k in enumerate(kinds):
            if k == 2:
                branch(cid * a + i)

    kinds = [next(it) for _ in range(b)]
    for i, k in enumerate(kinds):
        if k == 1:
            cells.append(a + i)
    for i, k in enumerate(kinds):
        if k == 2:
            branch(a + i)
    assert next(it, None) is None
    header = dict(name=name, aperture=a, n_base=b, rest=tuple(rest), depth=depth,
                  branches=branches, root=root.hex())
    return header, sorted(cells)


def trees(seed, count=6):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        depth = rng.randint(0, 6)
        out.append(Tree.from_cells(random_cids(rng, depth, rng.randint(0, 40)), depth))
    return out


def bad(offset, reason):
    return re.escape(f"bad tree bytes at byte {offset}: {reason}") + "$"


class TestRoundTrip:
    @pytest.mark.parametrize("seed", range(4))
    def test_from_bytes_gives_back_the_tree_and_profile(self, seed):
        for t in trees(seed):
            u = Tree.from_bytes(t.to_bytes())
            assert u == t and u.root_hex == t.root_hex
            assert u.profile == t.profile and u.cells() == t.cells()

    def test_profile_travels_with_the_tree(self):
        p = Profile(lon_0_udeg=-179999999, north_square=3, south_square=1,
                    a_um=1, inv_f_nano=2**64 - 1, tick_us=7, epoch_us=-2**63)
        t = Tree.from_cells([9, 100, 1000], 4, p)
        assert Tree.from_bytes(t.to_bytes()).profile == p
        assert Tree.from_bytes(Tree.from_cells([9], 2, KIVET_1).to_bytes()).profile == KIVET_1

    def test_other_hierarchies(self):
        # Aperture 64 spans more than one 64-bit word of child codes.
        for p, cids in [(Profile(aperture=4, n_base=12), [4 * 16 + 3, 6 * 4 + 1]),
                        (Profile(aperture=16, n_base=3), [16 * 16 + 5, 17]),
                        (Profile(aperture=64, n_base=5), [64 * 64 + 63, 65 * 64 * 64 + 29,
                                                          65 * 64 * 64 + 40, 66])]:
            t = Tree.from_cells(cids, 3, p)
            u = Tree.from_bytes(t.to_bytes())
            assert u == t and u.profile == p and u.cells() == t.cells()

    def test_any_bytes_like_input(self):
        t = trees(9)[1]
        data = t.to_bytes()
        for form in (bytearray(data), memoryview(data), memoryview(b"xx" + data)[2:]):
            assert Tree.from_bytes(form) == t

    def test_form_depends_on_the_set_only(self):
        rng = random.Random(3)
        cids = random_cids(rng, 5, 50)
        a = Tree.from_cells(cids, 5)
        b = Tree.from_cells(cids[: len(cids) // 2], 5).union(
            Tree.from_cells(cids[len(cids) // 2:], 5))
        assert a.to_bytes() == b.to_bytes()

    def test_large_shapes_are_rebuilt_alike(self):
        # Enough branches for the parallel reader.
        rng = random.Random(11)
        t = Tree.from_cells(random_cids(rng, 7, 6000), 7)
        data = t.to_bytes()
        assert decode(data)[0]["branches"] > 4096
        u = Tree.from_bytes(data)
        assert u == t and u.to_bytes() == data


class TestLayout:
    @pytest.mark.parametrize("seed", range(3))
    def test_independent_decoder_reads_the_same_set(self, seed):
        for t in trees(seed):
            header, cells = decode(t.to_bytes())
            assert cells == t.cells()
            assert header["root"] == t.root_hex and header["depth"] == t.depth
            assert (header["aperture"], header["n_base"]) == (9, 6)
            assert header["rest"] == profile_fields(t.profile)[2:]

    @pytest.mark.parametrize("seed", range(3))
    def test_size_is_two_bits_per_child_of_each_branch(self, seed):
        rng = random.Random(seed)
        for depth in range(6):
            cids = random_cids(rng, depth, 30)
            branches = len(RefTree.from_cells(cids, depth).partial)
            data = Tree.from_cells(cids, depth).to_bytes()
            assert len(data) == OGC_HEADER + (6 + 9 * branches + 3) // 4 + 32
            assert len(data) <= OGC_HEADER + 32 + 2.25 * (branches + 1)

    def test_documented_example_is_stable(self):
        # Stored forms must stay readable: the example of the format's page, byte for byte.
        data = Tree.from_cells([82, 752], 2).to_bytes()
        assert data[:12] == b"KVTR\x01\x06sha256"
        assert data[62:80] == bytes.fromhex("00000002" "0000000000000002" "024002000001")
        assert len(data) == 112

    def test_empty_tree(self):
        data = Tree.from_cells([], 3).to_bytes()
        assert len(data) == OGC_HEADER + 2 + 32
        assert Tree.from_bytes(data).is_empty()


def valid():
    """A depth-2 tree: base 0 a branch of one Full child and one branch."""
    t = Tree.from_cells([9 * 9 + 1, 9 * 81 + 2 * 9 + 5], 2)
    return t, t.to_bytes()


class TestMalformed:
    def test_truncation_names_the_part_cut(self):
        t, data = valid()
        parts = [(0, "the magic"), (3, "the magic"), (4, "the version"),
                 (5, "the profile"), (40, "the profile"), (62, "the depth"),
                 (65, "the depth"), (66, "the branch count"), (73, "the branch count"),
                 (74, "the shape of the 2 branches the header declares"),
                 (79, "the shape of the 2 branches the header declares"),
                 (80, "the root"), (len(data) - 1, "the root")]
        for cut, what in parts:
            with pytest.raises(ValueError, match=bad(cut, f"data ends inside {what}")):
                Tree.from_bytes(data[:cut])

    def test_header_faults(self):
        t, data = valid()
        root = bytes.fromhex(t.root_hex)
        hostile = encode([0] * 6, 2**64 - 1, 2, root)
        cases = [
            (b"KVTX" + data[4:], bad(0, 'the magic is not "KVTR"')),
            (data[:4] + b"\x02" + data[5:], bad(4, "unknown version 2, expected 1")),
            (data + b"\x00\x00", bad(len(data), "trailing bytes after the root (2 extra)")),
            (encode([0] * 6, 0, 2, root, name=b"SHA256"),
             bad(5, 'invalid profile: unknown hash id "SHA256"')),
            (encode([0] * 6, 0, 2, root, fields=(8, 6) + profile_fields(Profile())[2:]),
             bad(5, "invalid profile: aperture 8 is not a square; no rHEALPix N_side")),
            (encode([0] * 6, 0, 19, root),
             bad(62, "depth 19 is deeper than the deepest level, 18")),
            (hostile, bad(len(hostile), "data ends inside the shape of the "
                                        "18446744073709551615 branches the header declares")),
        ]
        for data, message in cases:
            with pytest.raises(ValueError, match=message):
                Tree.from_bytes(data)

    def test_shape_faults_carry_the_offset_of_the_code(self):
        root = bytes(32)
        # Codes: 6 bases, then 9 per branch; byte 74 holds codes 0..3.
        cases = [
            ([3, 0, 0, 0, 0, 0], 0, 1, 74,
             "node code 3 is none of Empty (0), Full (1), Branch (2)"),
            ([2, 0, 0, 0, 0, 0], 0, 0, 74, "a branch at height 0: leaves are Empty or Full"),
            ([2, 0, 0, 0, 0, 0] + [0] * 9, 1, 1, 75,
             "a branch whose children are all Empty is not canonical"),
            ([0, 0, 0, 0, 0, 2] + [1] * 9, 1, 1, 75,
             "a branch whose children are all Full is not canonical"),
            ([0, 2, 0, 0, 0, 0] + [0, 0, 0, 0, 0, 0, 0, 1, 2], 1, 1, 77,
             "a branch at height 0: leaves are Empty or Full"),
            ([0, 2, 0, 0, 0, 0] + [0] * 8 + [2], 1, 2, 77,
             "the shape needs more than the 1 branches the header declares"),
            ([0, 0, 0, 0, 0, 0] + [0] * 9, 1, 2, 75,
             "the shape holds 0 branches, the header declares 1"),
        ]
        for codes, branches, depth, offset, reason in cases:
            with pytest.raises(ValueError, match=bad(offset, reason)):
                Tree.from_bytes(encode(codes, branches, depth, root))

    def test_padding_bits_must_be_zero(self):
        t = Tree.from_cells([], 1)
        data = bytearray(t.to_bytes())  # 6 codes: the last byte has 4 padding bits
        shape_end = len(data) - 33
        data[shape_end] |= 0x40
        with pytest.raises(ValueError, match=bad(shape_end, "padding bits after the shape "
                                                             "are not zero")):
            Tree.from_bytes(bytes(data))

    def test_root_must_match_the_shape(self):
        t, data = valid()
        other = Tree.from_cells([10], 2)
        forged = data[:-32] + bytes.fromhex(other.root_hex)
        with pytest.raises(ValueError, match=bad(len(data) - 32, (
                f"the root does not match the shape: stored {other.root_hex}, "
                f"computed {t.root_hex}"))):
            Tree.from_bytes(forged)

    def test_a_valid_root_under_another_profile_is_still_read(self):
        # The root does not depend on the profile's geometry: swapping the
        # meridian gives an equal tree with the other profile.
        t, data = valid()
        swapped = data[:20] + struct.pack(">q", 0) + data[28:]  # lon_0_udeg
        u = Tree.from_bytes(swapped)
        assert u == t and u.profile == KIVET_1

    def test_wrong_argument_type(self):
        for value in ("KVTR", 5, None, [1, 2]):
            with pytest.raises(TypeError, match=re.escape(
                    "argument 'data': expected a contiguous bytes-like object, got "
                    + type(value).__name__)):
                Tree.from_bytes(value)


def mutations():
    edit = st.one_of(
        st.tuples(st.just("flip"), st.integers(0, 10**6), st.integers(0, 7)),
        st.tuples(st.just("set"), st.integers(0, 10**6), st.integers(0, 255)),
        st.tuples(st.just("cut"), st.integers(0, 10**6), st.just(0)),
        st.tuples(st.just("insert"), st.integers(0, 10**6), st.integers(0, 255)),
        st.tuples(st.just("delete"), st.integers(0, 10**6), st.just(0)),
    )
    return st.lists(edit, min_size=1, max_size=4)


def mutate(data, edits):
    data = bytearray(data)
    for kind, at, value in edits:
        at = at % (len(data) + 1)
        if kind == "flip" and at < len(data):
            data[at] ^= 1 << value
        elif kind == "set" and at < len(data):
            data[at] = value
        elif kind == "cut":
            del data[at:]
        elif kind == "insert":
            data.insert(at, value)
        elif kind == "delete" and at < len(data):
            del data[at]
    return bytes(data)


SEEDS = [t.to_bytes() for t in trees(21, 8)] + [
    Tree.from_cells([64 * 64 + 63, 65 * 64 * 64 + 29, 65 * 64 * 64 + 40, 66], 2,
                    Profile(aperture=64, n_base=5)).to_bytes()]


class TestFuzz:
    @settings(max_examples=600, suppress_health_check=[HealthCheck.too_slow])
    @given(st.sampled_from(SEEDS), mutations())
    def test_mutations_fail_cleanly_or_give_a_canonical_tree(self, data, edits):
        mutated = mutate(data, edits)
        try:
            t = Tree.from_bytes(mutated)
        except ValueError as e:
            assert str(e).startswith("bad tree bytes at byte ")
            offset = int(str(e).split()[5].rstrip(":"))
            assert 0 <= offset <= len(mutated)
            return
        # Accepted input is exactly the canonical form of what it holds.
        assert t.to_bytes() == mutated
        assert Tree.from_cells(t.cells(), t.depth, t.profile) == t
        a, b = t.profile.aperture, t.profile.n_base
        ref = RefTree(leaves_of(t.cells(), t.depth, a), t.depth, a, b)
        assert ref.root() == t.root_hex


_SMALL = Tree.from_cells([100, 101, 12 * 81 + 7, 13], 3)
_SMALL_BYTES = _SMALL.to_bytes()


@pytest.mark.parametrize("call", [
    lambda: Tree.from_bytes(_SMALL.to_bytes()),
    lambda: Tree.from_bytes(bytearray(_SMALL_BYTES)),
    swallow(lambda: Tree.from_bytes(_SMALL_BYTES[:-1] + b"\x00")),  # root mismatch
    swallow(lambda: Tree.from_bytes(_SMALL_BYTES[:70])),
    swallow(lambda: Tree.from_bytes("text")),
], ids=["round_trip", "bytearray", "bad_root", "truncated", "bad_type"])
def test_memory_stays_flat(call):
    assert_flat(call, n=5000)
