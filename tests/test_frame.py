"""The module frame: registration, argument conventions and JSON conversion."""
import inspect
import json
import re

import pytest

import _kivet
from _kivet import Profile


def not_json(message):
    return pytest.raises(ValueError, match=f"^{re.escape('not JSON: ' + message)}$")


class TestJsonIn:
    def test_text_and_data_agree(self):
        d = Profile.kivet_1().to_dict()
        assert Profile.from_dict(d) == Profile.from_dict(json.dumps(d, indent=2))

    @pytest.mark.parametrize("obj, inner", [
        ({"a": {1, 2}}, "TypeError: Object of type set is not JSON serializable"),
        ([float("nan")], None), ({"x": float("inf")}, None), (object(), None)])
    def test_unserialisable_objects(self, obj, inner):
        with pytest.raises(ValueError) as e:
            Profile.from_dict(obj)
        text = str(e.value)
        assert text.startswith("not JSON (") and text.endswith("; a missing value is null, not NaN")
        if inner:
            assert text == f"not JSON ({inner}); a missing value is null, not NaN"

    @pytest.mark.parametrize("text, message", [
        ("NaN", "expected value at line 1 column 1"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[1] x", "trailing characters at line 1 column 5"),
        ("[1,\n 2,\n  -]", "invalid number at line 3 column 4"),
        ("01", "invalid number at line 1 column 2"),
        ("[1.]", "invalid number at line 1 column 4"),
        ("{\"a\" 1}", "expected `:` at line 1 column 6"),
        ("{1: 2}", "key must be a string at line 1 column 2"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ("\"\\x\"", "invalid escape at line 1 column 3"),
        ("\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"),
        ("[1e999]", "number out of range at line 1 column 6"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
        ("\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string "
                     "at line 2 column 0"),
    ])
    def test_parser_messages(self, text, message):
        with not_json(message):
            Profile.from_dict(text)

    def test_nesting_of_127_parses(self):
        # Parsed, then refused by the record decoder rather than the parser.
        with pytest.raises(ValueError, match="^bad profile record: invalid type: sequence"):
            Profile.from_dict("[" * 127 + "]" * 127)

    def test_deep_python_data_is_refused_not_crashed(self):
        doc = []
        for _ in range(100000):
            doc = [doc]
        with pytest.raises(ValueError, match=r"^not JSON"):
            Profile.from_dict(doc)

    @pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, LookupError])
    @pytest.mark.parametrize("entry", [
        Profile.from_dict, _kivet.verify_opening, _kivet.verify_setop,
        lambda d: _kivet.polyfill(d, 3), lambda d: _kivet.fingerprint_polygon(d, 3),
        lambda d: _kivet.Tree.from_geojson(d, 3), _kivet.Tree.from_dggs_json])
    def test_other_errors_during_conversion_pass_unchanged(self, entry, error):
        class Raising(dict):
            def items(self):
                raise error("from the caller")

        with pytest.raises(error, match="^from the caller$"):
            entry(Raising(a=1))

    def test_lone_surrogate_text(self):
        with pytest.raises(ValueError):
            Profile.from_dict('"\ud800"')

    def test_numbers_map_by_range(self):
        base = Profile().to_dict()
        # 2**64 reads as a float, so it is refused as a type, not a value.
        with pytest.raises(ValueError, match="floating point"):
            Profile.from_dict(json.dumps({**base, "a_um": 2**64}))
        with pytest.raises(ValueError, match="invalid value: integer `-9223372036854775808`"):
            Profile.from_dict(json.dumps({**base, "tick_us": -(2**63)}))


class TestRegistration:
    def test_surface(self):
        public = {n for n in dir(_kivet) if not n.startswith("__")}
        assert {"Profile", "OGC_RHEALPIX", "KIVET_1", "MAX_RESOLUTION",
                "cid_to_suid", "suid_to_cid"} <= public

    @pytest.mark.parametrize("fn, sig", [("cid_to_suid", "(cid)"), ("suid_to_cid", "(suid)")])
    def test_signatures(self, fn, sig):
        assert str(inspect.signature(getattr(_kivet, fn))) == sig

    def test_profile_subclass_is_a_profile(self):
        class Mine(Profile):
            pass
        assert Mine(lon_0_udeg=0) == Profile.kivet_1()
