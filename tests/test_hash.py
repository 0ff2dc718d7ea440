"""SHA-256 against published vectors and hashlib, both block routines; hex
reading. The core is exercised by a small native program compiled here."""
import hashlib
import random
import subprocess

import pytest

from _kivet import Profile, Tree
from native import build

PROGRAM = r"""
#include <cstdio>
#include <iostream>
#include <string>
#include "core/hash.hpp"
#include "core/support/sha256.hpp"

using namespace kivet;

static std::string bytes_of(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// "hash <hex>": portable and hardware digests, the message fed in uneven
// pieces. "million": FIPS 180-4's million 'a'. "unhex <text>": the bytes or -.
int main() {
  std::string cmd, arg;
  bool hw = (sha256_force_portable(false), sha256_uses_hardware());
  std::cout << (hw ? "hardware" : "portable") << "\n";
  while (std::cin >> cmd) {
    if (cmd == "unhex") {
      std::getline(std::cin, arg);
      auto h = unhex(arg.substr(1));
      std::cout << (h ? to_hex(*h) : "-") << "\n";
      continue;
    }
    std::string msg = cmd == "million" ? std::string(1000000, 'a')
                                       : (std::cin >> arg, bytes_of(arg == "-" ? "" : arg));
    for (bool portable : {true, false}) {
      sha256_force_portable(portable);
      Sha256 s;
      for (size_t at = 0, step = 1; at < msg.size(); at += step, step = step * 3 % 71 + 1)
        s.update(msg.data() + at, std::min(step, msg.size() - at));
      std::cout << to_hex(s.finish()) << (portable ? " " : "\n");
    }
  }
}
"""


@pytest.fixture(scope="module")
def native(tmp_path_factory):
    sources = [f"core/{f}" for f in ("hash.cpp", "profile.cpp", "hierarchy.cpp", "error.cpp")]
    sources += [f"core/support/{f}" for f in ("sha256.cpp", "text.cpp", "json.cpp")]
    exe = build(tmp_path_factory.mktemp("sha"), PROGRAM, sources)

    def run(lines):
        out = subprocess.run([str(exe)], input="\n".join(lines) + "\n",
                             capture_output=True, text=True, check=True).stdout
        return out.split("\n")[0], out.split("\n")[1:-1]
    return run


NIST = [
    (b"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
    (b"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    (b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"),
    (b"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
     b"jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"),
]
MILLION_A = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"


class TestSha256:
    def test_nist_vectors_on_both_paths(self, native):
        _, out = native([f"hash {m.hex() or '-'}" for m, _ in NIST] + ["million"])
        for line, expected in zip(out, [d for _, d in NIST] + [MILLION_A]):
            assert line.split() == [expected, expected]

    def test_every_length_to_300_matches_hashlib(self, native):
        rng = random.Random(7)
        messages = [rng.randbytes(n) for n in range(301)] + [bytes(n) for n in (55, 56, 64)]
        mode, out = native([f"hash {m.hex() or '-'}" for m in messages])
        for m, line in zip(messages, out, strict=True):
            expected = hashlib.sha256(m).hexdigest()
            assert line.split() == [expected, expected], len(m)
        if mode == "portable":
            pytest.skip("only the portable routine exists on this CPU")

    def test_module_digests_match_hashlib(self):
        # Whichever routine the CPU selected for the module itself.
        p = Profile(lon_0_udeg=-7, epoch_us=-1)
        assert p.id_hex() == hashlib.sha256(_preimage(p)).hexdigest()
        leaf = hashlib.sha256(b"\x00").digest()
        assert Tree.from_cells([], 0).root_hex == hashlib.sha256(b"\x03" + leaf * 6).hexdigest()


def _preimage(p):
    d = p.to_dict()
    return (b"KIVET-PROFILE-1" + bytes([len(d["hash"])]) + d["hash"].encode()
            + b"".join(d[k].to_bytes(n, "big", signed=k in ("lon_0_udeg", "epoch_us"))
                       for k, n in _FIELDS))


_FIELDS = [("aperture", 4), ("n_base", 4), ("lon_0_udeg", 8), ("north_square", 1),
           ("south_square", 1), ("a_um", 8), ("inv_f_nano", 8), ("tick_us", 8),
           ("epoch_us", 8)]


class TestUnhex:
    HEX = "00ff10a9" * 8

    @pytest.mark.parametrize("text,expected", [
        (HEX, HEX),
        (HEX[:5] + "A" + HEX[6:], "-"),
        (HEX[:62], "-"),
        (HEX + "00", "-"),
        (HEX[:63], "-"),
        (HEX[:10] + "g" + HEX[11:], "-"),
        (HEX[:10] + " " + HEX[11:], "-"),
        ("", "-"),
    ])
    def test_only_64_lowercase_hex_digits_read(self, native, text, expected):
        _, out = native([f"unhex {text}"])
        assert out == [expected]
