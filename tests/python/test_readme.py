"""The README's Python examples run as written, in order, as one session would run them."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_readme_examples_run(ext, capsys):
    assert len(BLOCKS) >= 4
    namespace = {}
    for index, block in enumerate(BLOCKS):
        source = block.replace("cellprox_gnu", ext.__name__)
        exec(compile(source, f"README block {index}", "exec"), namespace)
