"""The quoted form of texts in reprs.

Checked through Checkpoint.__repr__ against a Python oracle built from the same
data file the C++ table is generated from (tools/unicode/escape-ranges.txt).
Characters are batched many to a text: the quoted form is per character, so a
batch passes exactly when each of its characters does, and on a failure the
offending code points are listed one by one.
"""

from __future__ import annotations

import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vorlane

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tools" / "unicode" / "escape-ranges.txt"
TABLE = ROOT / "src" / "unicode_escape_table.inc"
GENERATOR = ROOT / "tools" / "gen_escape_table.py"

MAX_CP = 0x10FFFF
SURROGATES = range(0xD800, 0xE000)
SHORT_ESCAPES = {0x00: "\\0", 0x09: "\\t", 0x0D: "\\r", 0x0A: "\\n", 0x5C: "\\\\", 0x22: '\\"'}


def _parse_data() -> tuple[bytearray, list[tuple[int, int]]]:
    """One flag byte per code point (1 = escaped) and the ranges exactly as listed."""
    flags = bytearray(MAX_CP + 1)
    listed: list[tuple[int, int]] = []
    for raw in DATA.read_text(encoding="ascii").splitlines():
        body = raw.split("#", 1)[0].strip()
        if not body:
            continue
        cps, prop = (part.strip() for part in body.split(";"))
        first_hex, _, last_hex = cps.partition("..")
        first = int(first_hex, 16)
        last = int(last_hex, 16) if last_hex else first
        assert prop.startswith("gc=") or prop == "Grapheme_Extend", raw
        flags[first : last + 1] = b"\x01" * (last - first + 1)
        listed.append((first, last))
    flags[0x20] = 0  # the space is gc=Zs but written as itself
    return flags, listed


ESCAPED, LISTED_RANGES = _parse_data()
MERGED_RANGES = [(m.start(), m.end() - 1) for m in re.finditer(b"\x01+", ESCAPED)]
# First, last and both outside neighbours of every merged and every listed range.
BOUNDARIES = {
    cp
    for first, last in MERGED_RANGES + LISTED_RANGES
    for cp in (first - 1, first, last, last + 1)
    if 0 <= cp <= MAX_CP and cp not in SURROGATES
}


def oracle_char(cp: int) -> str:
    if cp in SHORT_ESCAPES:
        return SHORT_ESCAPES[cp]
    if ESCAPED[cp]:
        return "\\u{%x}" % cp
    return chr(cp)


def oracle(text: str) -> str:
    return '"' + "".join(oracle_char(ord(c)) for c in text) + '"'


def checkpoint_repr(chain_id: str) -> str:
    return repr(vorlane.Checkpoint(chain_id, "", 0, ""))


def wrap(quoted: str) -> str:
    return "Checkpoint(chain_id=" + quoted + ', indexer_id="", block_number=0, block_hash="")'


def assert_matches_oracle(text: str) -> None:
    got = checkpoint_repr(text)
    if got == wrap(oracle(text)):
        return
    wrong = [
        f"U+{ord(c):04X}: got {checkpoint_repr(c)!r}, want {wrap(oracle(c))!r}"
        for c in dict.fromkeys(text)
        if checkpoint_repr(c) != wrap(oracle(c))
    ]
    pytest.fail("\n".join(wrong[:40]) or f"characters agree one by one but the whole text does not: {got!r}")


def text_of(cps) -> str:
    return "".join(chr(cp) for cp in sorted(set(cps)) if 0 <= cp <= MAX_CP and cp not in SURROGATES)


@pytest.mark.parametrize(
    ("text", "quoted"),
    [
        ('a"b\\c\n\u0301', '"a\\"b\\\\c\\n\\u{301}"'),
        ("", '""'),
        ("'", "\"'\""),
        ("é", '"é"'),
        (" ", '" "'),
        ("\x00\t\r\n", '"\\0\\t\\r\\n"'),
        ("\x07", '"\\u{7}"'),
        ("\x1f\x7f\x80\x9f", '"\\u{1f}\\u{7f}\\u{80}\\u{9f}"'),
        ("\u00a0", '"\\u{a0}"'),
        ("\u00ad", '"\\u{ad}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("zero\u200bwidth", '"zero\\u{200b}width"'),
        ("\u2028\u2029\u3000", '"\\u{2028}\\u{2029}\\u{3000}"'),
        ("\ufeffBOM", '"\\u{feff}BOM"'),
        ("\u2764\ufe0f", '"\u2764\\u{fe0f}"'),
        ("中文 😀 ~", '"中文 😀 ~"'),
        ("\ue000\U000e0001\U0010ffff", '"\\u{e000}\\u{e0001}\\u{10ffff}"'),
        ("\\\\", '"\\\\\\\\"'),
        ('""', '"\\"\\""'),
    ],
)
def test_exact_quoted_texts(text: str, quoted: str) -> None:
    assert checkpoint_repr(text) == wrap(quoted)


def test_whole_example_repr() -> None:
    got = checkpoint_repr('a"b\\c\n\u0301')
    assert got == 'Checkpoint(chain_id="a\\"b\\\\c\\n\\u{301}", indexer_id="", block_number=0, block_hash="")'
    assert len(got) - len(wrap("")) == 18


@pytest.mark.parametrize("cp", range(128))
def test_each_ascii_character(cp: int) -> None:
    assert checkpoint_repr(chr(cp)) == wrap(oracle(chr(cp)))


@pytest.mark.parametrize("special", [0x00, 0x09, 0x0A, 0x1F, 0x20, 0x22, 0x27, 0x5C, 0x7E, 0x7F, 0x80, 0xE9, 0x301])
def test_special_character_at_every_offset_of_a_plain_run(special: int) -> None:
    # Long plain ASCII runs are scanned a word at a time; a character that
    # needs attention must be found at any position within or after a word.
    # Plain texts are checked sixteen bytes at a time, the last block
    # overlapping the one before it; the offsets reach past two blocks.
    for offset in range(40):
        for tail in (0, 1, 7, 8, 9, 15, 16, 17):
            assert_matches_oracle("p" * offset + chr(special) + "q" * tail)


def test_plain_texts_of_every_length_and_numbers_of_every_width() -> None:
    # The plain case is sized up front and written in one pass: every length
    # of text and every count of digits must come out exact.
    numbers = [0, 2**64 - 1] + [10**k + d for k in range(1, 20) for d in (-1, 0)]
    for n in range(70):
        text = "".join(chr(0x21 + (k * 7) % 94) for k in range(n)).replace('"', "x").replace("\\", "y")
        for number in numbers[n % 5 :: 5]:
            got = repr(vorlane.Checkpoint(text, text[:3], number, text[::-1]))
            assert got == (
                f'Checkpoint(chain_id="{text}", indexer_id="{text[:3]}", '
                f'block_number={number}, block_hash="{text[::-1]}")'
            )


@pytest.mark.parametrize("plane", sorted({cp >> 16 for cp in BOUNDARIES}))
def test_range_boundaries(plane: int) -> None:
    assert_matches_oracle(text_of(cp for cp in BOUNDARIES if cp >> 16 == plane))


@pytest.mark.parametrize("plane", range(17))
def test_plane_sample(plane: int) -> None:
    base = plane << 16
    assert_matches_oracle(text_of(range(base + plane % 97, base + 0x10000, 97)))


@pytest.mark.parametrize("seed", range(8))
def test_random_mixed_texts(seed: int) -> None:
    """Escapes adjacent to plain runs of every width, in random order."""
    rng = random.Random(seed)
    pool = [*range(0x100), *BOUNDARIES, 0x4E2D, 0x1F600, 0x7FF, 0x800, 0xFFFF, 0x10000, 0xFFFD]
    pool = sorted(set(pool))
    for _ in range(40):
        text = "".join(chr(rng.choice(pool)) for _ in range(rng.randint(1, 60)))
        assert checkpoint_repr(text) == wrap(oracle(text)), ascii(text)


@pytest.mark.parametrize("text", ["\ud800", "a\udfff", "\udbff\udc00"])
def test_lone_surrogate_is_rejected(text: str) -> None:
    with pytest.raises(UnicodeEncodeError):
        vorlane.Checkpoint(text, "", 0, "")


def test_generated_table_matches_data_file() -> None:
    body = TABLE.read_text(encoding="ascii")
    table = [(int(a, 16), int(b, 16)) for a, b in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", body)]
    assert table == MERGED_RANGES


def run_generator(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(GENERATOR), *args], capture_output=True, text=True, timeout=60, check=False
    )


def test_generated_table_is_current() -> None:
    result = run_generator("--check")
    assert (result.returncode, result.stderr) == (0, "")


def test_generator_check_detects_stale_table_and_regenerates(tmp_path: Path) -> None:
    out = tmp_path / "table.inc"
    out.write_text("// stale\n", encoding="ascii")
    stale = run_generator("--check", "--output", str(out))
    assert stale.returncode == 1
    assert f"gen_escape_table: {out} is stale; run `python3 tools/gen_escape_table.py`" in stale.stderr
    assert out.read_text(encoding="ascii") == "// stale\n"

    assert run_generator("--output", str(out)).returncode == 0
    assert out.read_text(encoding="ascii") == TABLE.read_text(encoding="ascii")
    assert run_generator("--check", "--output", str(out)).returncode == 0


@pytest.mark.parametrize(
    ("line", "message"),
    [
        ("0000..001G ; gc=Cc", "data.txt:2: expected 'XXXX[..YYYY] ; property', got '0000..001G ; gc=Cc'"),
        ("0041 ; gc=Lu", "data.txt:2: unknown property 'gc=Lu'"),
        ("0042..0041 ; gc=Cn", "data.txt:2: invalid range 0042..0041"),
        ("110000 ; gc=Cn", "data.txt:2: invalid range 110000..110000"),
    ],
)
def test_generator_rejects_malformed_data(tmp_path: Path, line: str, message: str) -> None:
    data = tmp_path / "data.txt"
    data.write_text("0300..036F ; Grapheme_Extend\n" + line + "\n", encoding="ascii")
    out = tmp_path / "table.inc"
    result = run_generator("--input", str(data), "--output", str(out))
    assert result.returncode == 2
    assert result.stderr == f"gen_escape_table: {tmp_path / message}\n"
    assert not out.exists()
