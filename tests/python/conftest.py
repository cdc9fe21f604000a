import os
import pathlib

import pytest

# Real RINEX files of public projects (never copied into the repository): the TESSORA_DATA_DIR
# environment variable (a relative path is taken from the repository's root, as CMake takes it),
# else the shared folder beside the repository. Tests that need a file skip without it.
_REPO = pathlib.Path(__file__).resolve().parents[2]
DATA_DIR = _REPO / os.environ.get("TESSORA_DATA_DIR", _REPO.parent / "shared" / "data")


def data_path(rel):
    p = DATA_DIR / rel
    if not p.exists():
        pytest.skip(f"real data file not available: {rel}")
    return p


@pytest.fixture
def data_dir():
    if not DATA_DIR.is_dir():
        pytest.skip("real data folder not available")
    return DATA_DIR
