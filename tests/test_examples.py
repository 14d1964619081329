"""The small examples run and say what they should."""
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(name):
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_quickstart():
    out = run("quickstart.py")
    assert 'Checkpoint(chain_id="1", indexer_id="erc20-approvals", block_number=18499950, block_hash="0x5b7d...04c9")' in out
    assert "updated_at=1700000000" in out
    assert "TypeError: argument 'block_number': 'float' object cannot be interpreted as an integer" in out
    assert "OverflowError: can't convert negative int to unsigned" in out


def test_indexing_model():
    out = run("indexing_model.py")
    assert "indexed blocks 100..109: 10 token transfers" in out
    assert 'last checkpoint: Checkpoint(chain_id="1", indexer_id="usdc-transfers", block_number=108,' in out
    assert "from another branch extends ours: False" in out
