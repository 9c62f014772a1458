"""The README's Python examples run as written."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(ext, index):
    source = BLOCKS[index].replace("cellprox_gnu", ext.__name__)
    exec(compile(source, f"README block {index}", "exec"), {})
