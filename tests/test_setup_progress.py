"""The setup script's progress filter shows each line as it arrives, not when
the step ends: a pipe read a block at a time would hold the whole build's
progress back until compiling has finished."""
import select
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROGRESS = r"^ *\[[0-9]+/[0-9]+\] "


def read_line(stream, seconds=30.0):
    ready, _, _ = select.select([stream], [], [], seconds)
    assert ready, "no line within 30 s"
    return stream.readline()


def test_a_progress_line_is_shown_while_the_step_still_runs():
    filter_ = subprocess.Popen(["bash", str(ROOT / "scripts" / "progress.sh"), PROGRESS],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        filter_.stdin.write("-- Configuring done\n  [1/25] Building CXX object core/a.o\n")
        filter_.stdin.flush()
        # The step has not ended (its output is still open) when the line shows.
        assert read_line(filter_.stdout) == "    [1/25] Building CXX object core/a.o\n"
        assert filter_.poll() is None
        filter_.stdin.write("[25/25] Linking CXX shared module vorlane.so")  # no newline at the end
        filter_.stdin.close()
        assert filter_.stdout.read() == "    [25/25] Linking CXX shared module vorlane.so\n"
        assert filter_.wait(timeout=30) == 0
    finally:
        filter_.kill()
