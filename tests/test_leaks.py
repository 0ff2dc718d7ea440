"""Calls repeated many times, success and failure paths alike, leave memory flat."""
import gc
import json
import sys

import pytest

import _kivet
from _kivet import Profile


def rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


def swallow(fn):
    def call():
        try:
            fn()
        except (ValueError, TypeError, OverflowError):
            pass
    return call


def assert_flat(call, n=20000, rounds=3):
    for _ in range(n // 10):
        call()
    # A leaked object or buffer per call shows as n blocks or many pages in every round;
    # threads left running by earlier tests (a closed cluster's loop) allocate now and then,
    # so one quiet round out of a few clears the call.
    for attempt in range(rounds):
        gc.collect()
        blocks, pages = sys.getallocatedblocks(), rss_pages()
        for _ in range(n):
            call()
        gc.collect()
        grown_blocks = sys.getallocatedblocks() - blocks
        grown_pages = rss_pages() - pages
        if grown_blocks < n // 100 and grown_pages < 256:
            return
    assert grown_blocks < n // 100
    assert grown_pages < 256


_TREE_A = _kivet.Tree.from_cells([100, 101, 12 * 81 + 7, 13], 3)
_TREE_B = _kivet.Tree.from_cells([100, 12 * 81 + 8, 14 * 729 + 3], 3)

FAMILIES = {
    "profile_new": lambda: Profile(aperture=4, lon_0_udeg=1),
    "profile_bad": swallow(lambda: Profile(aperture=8)),
    "profile_bad_arg": swallow(lambda: Profile(aperture=-1)),
    "profile_bad_kw": swallow(lambda: Profile(nope=1)),
    "to_dict": lambda: Profile().to_dict(),
    "from_dict": lambda: Profile.from_dict(Profile().to_dict()),
    "from_dict_text": swallow(lambda: Profile.from_dict('{"a": [1, 2.5, "x", null]}')),
    "from_dict_nan": swallow(lambda: Profile.from_dict([float("nan")])),
    "from_dict_bad_text": swallow(lambda: Profile.from_dict("[" * 200)),
    "id_describe_repr": lambda: (Profile().id_hex(), Profile().describe(), repr(Profile())),
    "suid": lambda: _kivet.suid_to_cid(_kivet.cid_to_suid(12 * 9**5 + 1234)),
    "suid_bad": swallow(lambda: _kivet.cid_to_suid(15)),
    "tree_from_cells": lambda: _TREE_B.union(_kivet.Tree.from_cells([100, 12 * 81 + 5], 3)),
    "tree_bad_cid": swallow(lambda: _kivet.Tree.from_cells([10, 3], 3)),
    "tree_bad_item": swallow(lambda: _kivet.Tree.from_cells([10, "x"], 3)),
    "tree_reads": lambda: (_TREE_A.cells(), _TREE_A.leaves(), _TREE_A.covers(100),
                           repr(_TREE_A), _TREE_A.profile, _TREE_A == _TREE_B),
    "tree_setops": lambda: (_TREE_A.union(_TREE_B), _TREE_A.difference(_TREE_B),
                            _TREE_A.intersect(_TREE_B), _TREE_A.divergence(_TREE_B)),
    "tree_setops_bad": swallow(lambda: _TREE_A.union(_kivet.Tree.from_cells([], 2))),
}

_A = _kivet.Tree.from_cells([9 * 81 + 4, 9 * 81 + 5, 11], 2)
_B = _kivet.Tree.from_cells([9 * 81 + 5, 12], 2)
_PROOF = _A.prove(_B, "difference")
_RECORD = _A.open(9 * 81 + 4)


def _index_round():
    ix = _kivet.Index()
    ix.add("a", _A)
    ix.add("b", _B)
    ix.add("a", _B)
    return ix.query(_A), ix.roots(), ix.attention(2), len(ix), ix.distinct_roots


def _index_failures():
    ix = _kivet.Index()
    ix.add("k", _A)
    for call in (lambda: ix.attention(3),
                 lambda: ix.add("k", _kivet.Tree.from_cells([], 3)),
                 lambda: ix.query(_kivet.Tree.from_cells([], 1))):
        swallow(call)()


FAMILIES.update({
    "open": lambda: (_A.open(9 * 81 + 4), _A.open(9)),
    "open_bad": swallow(lambda: _A.open(9 * 729)),
    "prove": lambda: _A.prove(_B, "union"),
    "prove_bad_op": swallow(lambda: _A.prove(_B, "Union")),
    "verify_setop": lambda: _kivet.verify_setop(_PROOF),
    "verify_setop_bad": lambda: _kivet.verify_setop({"v": 1, "op": "union", "steps": [{}]}),
    "verify_opening": lambda: _kivet.verify_opening(_RECORD),
    "verify_opening_bad": lambda: _kivet.verify_opening('{"v": 1, "A": 9, "B": 6, "D": 2}'),
    "index": _index_round,
    "index_bad": _index_failures,
})


@pytest.mark.parametrize("name", sorted(FAMILIES))
def test_memory_stays_flat(name):
    assert_flat(FAMILIES[name])
