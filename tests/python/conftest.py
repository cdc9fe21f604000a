import os
import pathlib

import pytest

# Real RINEX files of public projects, shared beside the repository (never copied into it).
DATA_DIR = pathlib.Path(os.environ.get("TESSORA_DATA_DIR", pathlib.Path(__file__).resolve().parents[3] / "shared" / "data"))


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
