"""What a type checker sees of the installed velmora: mypy --strict on callers, and stubtest."""

import subprocess
import sys

import pytest

# Returning mfx's result checks its type too: were it Any (no pandas stubs),
# --strict would report returning Any from a function typed DataFrame.
CALLER = """\
import pandas as pd
import velmora

def effects(results: object) -> pd.DataFrame:
    version: str = velmora.__version__
    print(version, velmora.__all__)
    return velmora.mfx(results, {arguments})
"""


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    # Outside the checkout, so only what was installed can be found.
    return tmp_path_factory.mktemp("typing")


def run_module(workdir, *arguments):
    return subprocess.run(
        [sys.executable, "-m", *arguments], cwd=workdir, capture_output=True, text=True
    )


def mypy_strict(workdir, arguments):
    (workdir / "caller.py").write_text(CALLER.format(arguments=arguments))
    return run_module(workdir, "mypy", "--strict", "--cache-dir", "cache", "caller.py")


@pytest.mark.parametrize("arguments", ["", "None, None", 'chunk_size=1000, se_method="sm"'])
def test_correct_calls_pass(workdir, arguments):
    result = mypy_strict(workdir, arguments)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    ("arguments", "expected"),
    [
        ('chunk_size="10"', 'Argument "chunk_size" to "mfx" has incompatible type "str"'),
        ('se_method="SM"', 'Argument "se_method" to "mfx" has incompatible type'),
        ("1, 2, 3", 'Too many arguments for "mfx"'),
    ],
    ids=["chunk_size", "se_method", "too_many"],
)
def test_wrong_calls_are_reported(workdir, arguments, expected):
    result = mypy_strict(workdir, arguments)
    assert result.returncode == 1, result.stdout + result.stderr
    assert expected in result.stdout


def test_stub_matches_module(workdir):
    result = run_module(workdir, "mypy.stubtest", "velmora")
    assert result.returncode == 0, result.stdout + result.stderr
