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


def assert_flat(call, n=20000):
    for _ in range(n // 10):
        call()
    gc.collect()
    blocks, pages = sys.getallocatedblocks(), rss_pages()
    for _ in range(n):
        call()
    gc.collect()
    # A leaked object or buffer per call would show as n blocks or many pages.
    assert sys.getallocatedblocks() - blocks < n // 100
    assert rss_pages() - pages < 256


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


@pytest.mark.parametrize("name", sorted(FAMILIES))
def test_memory_stays_flat(name):
    assert_flat(FAMILIES[name])
