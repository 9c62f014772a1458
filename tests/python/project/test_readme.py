"""The README's Python examples run as written, in order, as one session would run them."""
import pathlib

from conftest import NUMPY_1, run_doc_blocks

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def test_readme_examples_run(capsys):
    blocks, stopped = run_doc_blocks(README.read_text(), "README")
    assert blocks >= 4
    # Under numpy 2: the module's name, the raw journey and the raw interface.
    assert stopped == (0 if NUMPY_1 else 3)
