import hashlib
import inspect
import json
import re
import struct

import pytest

import _kivet
from _kivet import Profile

FIELDS = ["hash", "aperture", "n_base", "lon_0_udeg", "north_square", "south_square",
          "a_um", "inv_f_nano", "tick_us", "epoch_us"]
DEFAULTS = ["sha256", 9, 6, 50000000, 0, 0, 6378137000000, 298257223563, 1, 0]


def preimage(p):
    """The identity preimage, written independently of the module."""
    d = p.to_dict()
    name = d["hash"].encode()
    return (b"KIVET-PROFILE-1" + bytes([len(name)]) + name
            + struct.pack(">IIqBBQQQq", d["aperture"], d["n_base"], d["lon_0_udeg"],
                          d["north_square"], d["south_square"], d["a_um"],
                          d["inv_f_nano"], d["tick_us"], d["epoch_us"]))


class TestPresets:
    def test_default_is_ogc_and_constant(self):
        assert Profile() == Profile.ogc() == _kivet.OGC_RHEALPIX
        assert Profile(lon_0_udeg=0) == Profile.kivet_1() == _kivet.KIVET_1
        assert Profile() != Profile.kivet_1()

    def test_module_constants(self):
        assert _kivet.MAX_RESOLUTION == 15
        assert _kivet.__version__ == "0.2.0"

    def test_to_dict_lists_sorted_keys_with_defaults(self):
        d = Profile().to_dict()
        assert list(d) == sorted(FIELDS)
        assert d == dict(zip(FIELDS, DEFAULTS))

    def test_properties(self):
        p = Profile(aperture=4, n_base=6, lon_0_udeg=-1500000)
        assert (p.hash, p.aperture, p.n_base, p.lon_0) == ("sha256", 4, 6, -1.5)
        assert Profile().lon_0 == 50.0
        with pytest.raises(AttributeError):
            p.aperture = 9

    def test_describe_and_repr(self):
        text = ("H(9,6) rhealpix lon_0=50 ns=0 ss=0 a=6378137 1/f=298.257223563 "
                "hash=sha256 tick=1us epoch=0")
        assert Profile().describe() == text
        assert repr(Profile()) == f"Profile({text})"
        odd = Profile(lon_0_udeg=-1, a_um=1, inv_f_nano=1500000000, north_square=3,
                      tick_us=7, epoch_us=-5)
        assert odd.describe() == ("H(9,6) rhealpix lon_0=-0.000001 ns=3 ss=0 a=0.000001 "
                                  "1/f=1.5 hash=sha256 tick=7us epoch=-5")

    def test_signature(self):
        sig = inspect.signature(Profile)
        assert list(sig.parameters) == FIELDS
        assert [p.default for p in sig.parameters.values()] == DEFAULTS
        assert Profile.__doc__.startswith("The parameters a cell identifier")
        assert str(inspect.signature(Profile.from_dict)) == "(d)"
        assert str(inspect.signature(Profile().to_dict)) == "()"


class TestIdentity:
    @pytest.mark.parametrize("p", [Profile(), Profile.kivet_1(),
                                   Profile(aperture=4, epoch_us=-(2**63), tick_us=2**64 - 1)])
    def test_id_is_sha256_of_the_preimage(self, p):
        pre = preimage(p)
        assert len(pre) == 72
        assert p.id_hex() == hashlib.sha256(pre).hexdigest()

    def test_ids_differ_between_presets(self):
        assert Profile.ogc().id_hex() != Profile.kivet_1().id_hex()
        assert re.fullmatch("[0-9a-f]{64}", Profile().id_hex())


class TestEquality:
    def test_compares_all_fields(self):
        for i, field in enumerate(FIELDS[1:], 1):
            changed = {field: DEFAULTS[i] + 1} if field != "aperture" else {"aperture": 4}
            assert Profile(**changed) != Profile()

    def test_foreign_objects_are_unequal(self):
        assert Profile() != "sha256"
        assert not (Profile() == None)  # noqa: E711
        assert Profile() != Profile().to_dict()

    @pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
    def test_ordering_is_refused(self, op):
        with pytest.raises(TypeError):
            eval(f"a {op} b", {"a": Profile(), "b": Profile()})

    def test_hash_follows_equality(self):
        assert hash(Profile()) == hash(Profile.ogc())
        assert len({Profile(), Profile.ogc(), Profile.kivet_1()}) == 2


VALIDATION = [
    (dict(aperture=1), "need 2 <= A <= 4096 and B >= 1, got A=1, B=6"),
    (dict(aperture=4097), "need 2 <= A <= 4096 and B >= 1, got A=4097, B=6"),
    (dict(n_base=0), "need 2 <= A <= 4096 and B >= 1, got A=9, B=0"),
    (dict(aperture=3, n_base=7), "B=7 > A(A-1)=6: the leading block would not be two digits"),
    (dict(hash="SHA256"), 'unknown hash id "SHA256"'),
    (dict(hash='a"b\\c\n'), 'unknown hash id "a\\"b\\\\c\\n"'),
    (dict(lon_0_udeg=180000001), "lon_0 180000001 micro-degrees outside [-180, 180] degrees"),
    (dict(lon_0_udeg=-180000001), "lon_0 -180000001 micro-degrees outside [-180, 180] degrees"),
    (dict(lon_0_udeg=-(2**63)),
     "lon_0 -9223372036854775808 micro-degrees outside [-180, 180] degrees"),
    (dict(north_square=4), "north_square/south_square must be in 0..3"),
    (dict(south_square=255), "north_square/south_square must be in 0..3"),
    (dict(a_um=0, tick_us=0), "ellipsoid a and inv_f must be positive"),
    (dict(inv_f_nano=0), "ellipsoid a and inv_f must be positive"),
    (dict(tick_us=0), "tick_us must be >= 1"),
    (dict(aperture=8), "aperture 8 is not a square; no rHEALPix N_side"),
    (dict(aperture=8, tick_us=0), "tick_us must be >= 1"),
]


class TestValidation:
    @pytest.mark.parametrize("kwargs, message", VALIDATION)
    def test_first_failing_rule_is_reported(self, kwargs, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            Profile(**kwargs)

    @pytest.mark.parametrize("kwargs, message", VALIDATION)
    def test_from_dict_validates_alike(self, kwargs, message):
        d = {**Profile().to_dict(), **kwargs}
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            Profile.from_dict(d)

    @pytest.mark.parametrize("kwargs", [dict(lon_0_udeg=180000000),
                                        dict(lon_0_udeg=-180000000),
                                        dict(aperture=4, n_base=6), dict(aperture=4096, n_base=6),
                                        dict(north_square=3, south_square=3)])
    def test_boundaries_are_accepted(self, kwargs):
        Profile(**kwargs)


class TestArguments:
    @pytest.mark.parametrize("name, value, exc", [
        ("aperture", "9", TypeError), ("aperture", 9.0, TypeError), ("aperture", -1, OverflowError),
        ("aperture", 2**32, OverflowError), ("north_square", 256, OverflowError),
        ("lon_0_udeg", 2**63, OverflowError), ("a_um", 2**64, OverflowError),
        ("a_um", 10**400, OverflowError), ("hash", b"sha256", TypeError), ("hash", None, TypeError),
        ("epoch_us", float("nan"), TypeError)])
    def test_conversion_errors_name_the_parameter(self, name, value, exc):
        with pytest.raises(exc, match=f"'{name}'"):
            Profile(**{name: value})

    def test_unencodable_text_names_the_parameter(self):
        with pytest.raises(ValueError, match="^argument 'hash': .*surrogates not allowed"):
            Profile(hash="\ud800")

    def test_positional_order_is_field_order(self):
        assert Profile(*DEFAULTS) == Profile()

    def test_binding_argument_errors(self):
        with pytest.raises(TypeError):
            Profile(*DEFAULTS, 1)
        with pytest.raises(TypeError, match="aperture"):
            Profile("sha256", 9, aperture=9)
        with pytest.raises(TypeError, match="bogus"):
            Profile(bogus=1)
        with pytest.raises(TypeError):
            Profile.from_dict()
        with pytest.raises(TypeError):
            Profile().to_dict(1)

    def test_integer_like_objects_convert(self):
        class Index:
            def __index__(self):
                return 4
        assert Profile(aperture=Index()) == Profile(aperture=4)


class TestFromDict:
    def test_round_trips(self):
        for p in [Profile(), Profile.kivet_1(), Profile(aperture=16, n_base=3, epoch_us=-9)]:
            d = p.to_dict()
            assert Profile.from_dict(d) == p
            assert Profile.from_dict(json.dumps(d)) == p
            assert Profile.from_dict([d[f] for f in FIELDS]) == p
            assert Profile.from_dict(tuple(d[f] for f in FIELDS)) == p

    def test_extra_keys_are_ignored(self):
        assert Profile.from_dict({**Profile().to_dict(), "extra": [1, 2]}) == Profile()

    @pytest.mark.parametrize("doc, reason", [
        ({k: v for k, v in zip(FIELDS, DEFAULTS) if k != "tick_us"}, "missing field `tick_us`"),
        ({}, "missing field `hash`"),
        ({**dict(zip(FIELDS, DEFAULTS)), "aperture": 9.0},
         "invalid type: floating point `9.0`, expected u32"),
        ({**dict(zip(FIELDS, DEFAULTS)), "aperture": True},
         "invalid type: boolean `true`, expected u32"),
        ({**dict(zip(FIELDS, DEFAULTS)), "n_base": None}, "invalid type: null, expected u32"),
        ({**dict(zip(FIELDS, DEFAULTS)), "hash": 5}, "invalid type: integer `5`, expected a string"),
        ({**dict(zip(FIELDS, DEFAULTS)), "aperture": 2**32},
         "invalid value: integer `4294967296`, expected u32"),
        ({**dict(zip(FIELDS, DEFAULTS)), "tick_us": -1},
         "invalid value: integer `-1`, expected u64"),
        ({**dict(zip(FIELDS, DEFAULTS)), "north_square": "0"},
         'invalid type: string "0", expected u8'),
        ({**dict(zip(FIELDS, DEFAULTS)), "epoch_us": 2**63},
         "invalid value: integer `9223372036854775808`, expected i64"),
        ({**dict(zip(FIELDS, DEFAULTS)), "a_um": 2**64}, "invalid type: floating point "
         "`18446744073709551616.0`, expected u64"),
        (DEFAULTS[:9], "invalid length 9, expected struct Profile with 10 elements"),
        (DEFAULTS + [0], "invalid length 11, expected fewer elements in array"),
        ([], "invalid length 0, expected struct Profile with 10 elements"),
        ("5", "invalid type: integer `5`, expected struct Profile"),
        ('"x"', 'invalid type: string "x", expected struct Profile'),
    ])
    def test_bad_records(self, doc, reason):
        with pytest.raises(ValueError, match=f"^{re.escape('bad profile record: ' + reason)}$"):
            Profile.from_dict(doc)
