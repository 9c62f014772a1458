"""The README's Python examples run as written, in order, as one session would run them."""
import pathlib
import sys

from conftest import NUMPY_1, run_doc_blocks

README = pathlib.Path(__file__).resolve().parents[3] / "README.md"


def test_readme_examples_run(capsys):
    # In .venv as the quick start leaves it every block runs: both of its commands put numpy
    # 1.x there. Elsewhere (.venv-numpy2) the blocks that use the raw kernels stop, as they say.
    if pathlib.Path(sys.prefix).resolve() == README.parent / ".venv":
        assert NUMPY_1, "the quick start's .venv holds a numpy 2, where the raw kernels refuse"
    blocks, stopped = run_doc_blocks(README.read_text(), "README")
    assert blocks >= 4
    # Under numpy 2: the module's name, the raw journey and the raw interface.
    assert stopped == (0 if NUMPY_1 else 3)
