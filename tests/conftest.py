import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


@pytest.fixture
def python_subprocess():
    return run_python
