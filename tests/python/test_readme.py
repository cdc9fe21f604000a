"""The README's Python examples, run as a new user runs them: from the repository's root, with the
installed package (a source folder named like the package would shadow it there)."""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Files the examples write into the working folder.
WRITTEN = ("sample.json", "sample.html", "station.template.json")


def readme_examples():
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    # From the block that names the bundled sample on; the earlier ones show archive names only.
    first = next(i for i, b in enumerate(blocks) if "examples/sample/" in b)
    # The Dask example names a remote scheduler; its comment offers a cluster on this machine.
    return [b.replace('Client("tcp://scheduler.example.org:8786")', "Client(processes=False)") for b in blocks[first:]]


def test_readme_python_examples_run_from_the_root():
    script = "\n".join(readme_examples())
    assert "observations()" in script and "to_xarray()" in script
    try:
        proc = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True, text=True, timeout=600)
    finally:
        for name in WRITTEN:
            (ROOT / name).unlink(missing_ok=True)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "Table(rows=13624, columns=['time', 'sv', 'code', 'value', 'lli', 'ssi'])" in proc.stdout
