import random
import re

import pytest

from _kivet import cid_to_suid, suid_to_cid

A, B = 9, 6


def ref_suid(cid):
    """The suid by plain base-9 digits: a two-digit lead block, then levels."""
    digits = []
    while cid >= A:
        digits.append(cid % A)
        cid //= A
    digits.append(cid)
    digits.reverse()
    lead = digits[0] * A + digits[1]
    return "NOPQRS"[lead - A] + "".join(map(str, digits[2:]))


def raises(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


class TestSuid:
    @pytest.mark.parametrize("cid, suid", [(9, "N"), (14, "S"), (81, "N0"), (89, "N8"),
                                           (90, "O0"), (134, "S8"), (729, "N00")])
    def test_examples(self, cid, suid):
        assert cid_to_suid(cid) == suid
        assert suid_to_cid(suid) == cid

    def test_round_trip_at_every_level(self):
        rng = random.Random(7)
        for level in range(19):
            lo, hi = (A) * A**level, (A + B) * A**level
            for cid in [lo, hi - 1] + [rng.randrange(lo, hi) for _ in range(50)]:
                suid = cid_to_suid(cid)
                assert suid == ref_suid(cid)
                assert len(suid) == level + 1
                assert suid_to_cid(suid) == cid

    def test_level_18_is_the_deepest(self):
        deepest = "S" + "8" * 18
        assert cid_to_suid(suid_to_cid(deepest)) == deepest
        with raises("path of 19 digits is deeper than the deepest level, 18"):
            suid_to_cid("N" + "0" * 19)


class TestCidErrors:
    @pytest.mark.parametrize("cid, message", [
        (0, "not a cid: 0"), (8, "not a cid: 8"),
        (15, "cid 15 names base 6, outside [0, 6)"),
        (80, "cid 80 names base 71, outside [0, 6)"),
        (2**64 - 1, "cid 18446744073709551615 is at level 19, deeper than the deepest level, 18"),
        (15 * 9**18, f"cid {15 * 9**18} names base 6, outside [0, 6)"),
    ])
    def test_invalid_cids(self, cid, message):
        with raises(message):
            cid_to_suid(cid)

    @pytest.mark.parametrize("value, exc", [(-1, OverflowError), (2**64, OverflowError),
                                            ("9", TypeError), (9.0, TypeError), (None, TypeError)])
    def test_conversion_names_cid(self, value, exc):
        with pytest.raises(exc, match="'cid'"):
            cid_to_suid(value)


class TestSuidErrors:
    @pytest.mark.parametrize("text, message", [
        ("", "empty suid"), ("X1", "unknown base cell 'X'"), ("n0", "unknown base cell 'n'"),
        ("\u00e9", "unknown base cell '\u00c3'"),
        ("N9", "digit 9 out of range [0, 9)"), ("N0a", "bad suid digit 'a'"),
        ("N0 ", "bad suid digit ' '"), ("T", "unknown base cell 'T'"),
        ("N\x00", "bad suid digit '\x00'"), ("\x00", "unknown base cell '\x00'"),
    ])
    def test_messages(self, text, message):
        with raises(message):
            suid_to_cid(text)

    def test_unencodable_text_names_suid(self):
        with pytest.raises(ValueError, match="^argument 'suid': 'utf-8' codec can't encode"):
            suid_to_cid("N\ud800")

    def test_non_str_is_a_type_error(self):
        with pytest.raises(TypeError, match="'suid'"):
            suid_to_cid(b"N0")
        with pytest.raises(TypeError):
            suid_to_cid()
        with pytest.raises(TypeError):
            suid_to_cid("N", "O")
        with pytest.raises(TypeError):
            suid_to_cid(cid="N")
        assert suid_to_cid(suid="N") == 9
