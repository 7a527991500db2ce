"""The documentation's code: every ```python block in docs/*.md is a complete program.

Each block is written to a file of its own and run in a fresh interpreter with warnings
turned into errors (so an un-awaited coroutine or a deprecated call fails it too), then
all of them are type-checked with mypy --strict and basedpyright strict against the stubs.
Relative links in the docs and CONTRIBUTING.md must point at files that exist; the README, which is
also the package's description on PyPI, has none (PyPI shows it without the files beside it and
without heading anchors). With the docs missing (a test folder without them) the block tests fail at
collection instead of being skipped as an empty parameter set (pyproject's empty_parameter_set_mark).
"""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from test_typing import format_errors, needs_mypy, needs_pyright, run_mypy, run_pyright, stub_dir, tool_env

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
DESCRIPTION = ROOT / tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["readme"]

__all__ = ["stub_dir"]  # the fixture, shared with the typing tests


def python_blocks() -> list[tuple[str, str]]:
    """(name, source) of each python block, named after its file and the line of its fence."""
    blocks = []
    for doc in sorted(DOCS.glob("*.md")):
        lines = doc.read_text(encoding="utf-8").splitlines()
        start = None
        for number, line in enumerate(lines, 1):
            if start is None and line.strip() == "```python":
                start = number
            elif start is not None and line.strip() == "```":
                blocks.append((f"{doc.stem}_{start}", "\n".join(lines[start:number - 1]) + "\n"))
                start = None
        assert start is None, f"{doc.name}:{start}: unclosed python block"
    return blocks


BLOCKS = python_blocks()


def test_the_docs_have_their_blocks() -> None:
    names = {name.rsplit("_", 1)[0] for name, _ in BLOCKS}
    assert {"recipes", "migrating"} <= names
    assert sum(name.startswith("recipes_") for name, _ in BLOCKS) >= 7


@pytest.fixture(scope="module")
def block_files(tmp_path_factory: pytest.TempPathFactory) -> list[Path]:
    folder = tmp_path_factory.mktemp("blocks")
    files = []
    for name, source in BLOCKS:
        path = folder / f"block_{name}.py"
        path.write_text(source, encoding="utf-8")
        files.append(path)
    return files


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[name for name, _ in BLOCKS])
def test_block_runs(index: int, block_files: list[Path]) -> None:
    path = block_files[index]
    proc = subprocess.run(
        [sys.executable, "-W", "error", str(path)],
        cwd=path.parent, env=tool_env(), capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0 and proc.stderr == "", proc.stdout + proc.stderr


@needs_mypy
def test_blocks_pass_mypy_strict(stub_dir: Path, block_files: list[Path]) -> None:
    errors = run_mypy(stub_dir, block_files)
    assert not errors, format_errors(errors)


@needs_pyright
def test_blocks_pass_basedpyright_strict(stub_dir: Path, block_files: list[Path]) -> None:
    errors = run_pyright(stub_dir, block_files)
    assert not errors, format_errors(errors)


LINK = re.compile(r"\]\((?!https?:|mailto:)([^)#\s]*)(?:#([^)\s]*))?\)")


def anchors(page: Path) -> set[str]:
    """The anchors a Markdown renderer gives the page's headings (lower case, spaces to hyphens)."""
    text = re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.MULTILINE | re.DOTALL)
    headings = re.findall(r"^#+ (.+)$", text, re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}


@pytest.mark.parametrize(
    "page", [ROOT / "README.md", ROOT / "CONTRIBUTING.md", *sorted(DOCS.glob("*.md"))], ids=lambda p: p.name
)
def test_relative_links_resolve(page: Path) -> None:
    broken = []
    for target, anchor in LINK.findall(page.read_text(encoding="utf-8")):
        path = (page.parent / target) if target else page
        if page == DESCRIPTION or not path.exists() or (anchor and path.suffix == ".md" and anchor not in anchors(path)):
            broken.append(f"{target}#{anchor}" if anchor else target)
    assert not broken, f"{page.name} has broken links: {broken}"
