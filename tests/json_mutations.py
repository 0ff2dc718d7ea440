"""Single-point edits of a JSON document, drawn with hypothesis.

Shared by the tamper tests of the proof verifiers: each edit changes exactly
one thing (a hex digit, a number, a list's length) and returns a new document.
"""

import copy

from hypothesis import strategies as st

HEX = "0123456789abcdef"


def locations(doc, path=()):
    """Every (path, value) in the document, the document itself first."""
    yield path, doc
    if isinstance(doc, dict):
        for key, value in doc.items():
            yield from locations(value, path + (key,))
    elif isinstance(doc, list):
        for i, value in enumerate(doc):
            yield from locations(value, path + (i,))


def at(doc, path):
    for part in path:
        doc = doc[part]
    return doc


def replaced(doc, path, value):
    out = copy.deepcopy(doc)
    if not path:
        return value
    at(out, path[:-1])[path[-1]] = value
    return out


def is_hash(value):
    return isinstance(value, str) and len(value) == 64 and set(value) <= set(HEX)


def is_number(value):
    return isinstance(value, int) and not isinstance(value, bool)


@st.composite
def flip_hex(draw, doc):
    """One hex digit of one hash changed to another digit."""
    spots = [p for p, v in locations(doc) if is_hash(v)]
    path = draw(st.sampled_from(spots))
    text = at(doc, path)
    i = draw(st.integers(0, 63))
    digit = draw(st.sampled_from([c for c in HEX if c != text[i]]))
    return replaced(doc, path, text[:i] + digit + text[i + 1 :])


@st.composite
def change_number(draw, doc):
    """One number replaced by a different number (possibly out of range)."""
    spots = [p for p, v in locations(doc) if is_number(v)]
    path = draw(st.sampled_from(spots))
    n = at(doc, path)
    candidates = [n + 1, n - 1, 0, 2**32, 2**64, -1, float(n) + 0.5]
    new = draw(st.sampled_from([c for c in candidates if c != n]))
    return replaced(doc, path, new)


@st.composite
def resize_list(draw, doc):
    """One element of one non-empty list deleted or duplicated."""
    spots = [p for p, v in locations(doc) if isinstance(v, list) and v]
    path = draw(st.sampled_from(spots))
    items = list(at(doc, path))
    i = draw(st.integers(0, len(items) - 1))
    if draw(st.booleans()):
        del items[i]
    else:
        items.insert(i, copy.deepcopy(items[i]))
    return replaced(doc, path, items)


def json_values():
    """Arbitrary JSON documents, for readers that must never raise."""
    scalars = (
        st.none()
        | st.booleans()
        | st.integers(-(2**70), 2**70)
        | st.floats(allow_nan=False, allow_infinity=False)
        | st.text(max_size=70)
        | st.sampled_from(["full", "empty", "sha256", "union", "0" * 64])
    )
    keys = st.sampled_from(
        ["A", "B", "D", "v", "hash", "root", "opening", "claim", "entries", "op",
         "steps", "children", "a", "b", "c", "root_a", "root_b", "root_c", "x"]
    )
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=6)
        | st.dictionaries(keys, inner, max_size=8),
        max_leaves=40,
    )
