"""The build's dependency check: on a machine missing the system packages it
fails once, naming every one of them and the command that installs them."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGES = ["g++", "python3-dev", "libasio-dev", "nlohmann-json3-dev", "libsodium-dev",
            "libsqlite3-dev", "libpq-dev", "libgtest-dev"]


def check(tmp_path, *defines):
    cmake = shutil.which("cmake", path=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
    if cmake is None:
        pytest.skip("no cmake")
    env = {k: v for k, v in os.environ.items() if k != "CXX"}
    return subprocess.run([cmake, "-DVORLANE_BUILD_TESTS=ON", *defines, "-P",
                           str(ROOT / "cmake" / "check_dependencies.cmake")],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)


def test_an_empty_machine_hears_of_every_package_at_once(tmp_path):
    empty = [f"-DCMAKE_FIND_ROOT_PATH={tmp_path}"] + [
        f"-DCMAKE_FIND_ROOT_PATH_MODE_{kind}=ONLY" for kind in ("PROGRAM", "INCLUDE", "LIBRARY")]
    result = check(tmp_path, *empty)
    assert result.returncode != 0
    message = " ".join(result.stderr.split())  # CMake wraps long lines
    assert message.count("vorlane cannot be built") == 1
    for package in PACKAGES:
        assert f"{package} (" in message
    assert "sudo apt-get install " + " ".join(PACKAGES) in message


def test_this_machine_has_everything(tmp_path):
    include = sysconfig.get_path("include")
    result = check(tmp_path, f"-DVORLANE_PYTHON_INCLUDE_DIR={include}")
    assert result.returncode == 0, result.stderr
