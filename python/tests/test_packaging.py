"""The package as a Python user gets it: a wheel built offline that carries
its typing marker, its README and its metadata, and type annotations that
mypy accepts in strict mode."""

import email
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parent.parent


def child_env():
    env = dict(os.environ)
    # The sanitizer run preloads its runtimes into the interpreter; tools
    # that never load the library do without them.
    env.pop("LD_PRELOAD", None)
    return env


def test_offline_wheel_has_the_typing_marker_readme_and_metadata(tmp_path):
    pytest.importorskip("pip")
    source = tmp_path / "source"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns(
        "tests", "examples", "__pycache__", "build", "*.egg-info", ".mypy_cache"))
    done = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index", "--quiet",
         "--disable-pip-version-check", "--wheel-dir", str(tmp_path / "dist"), str(source)],
        env=child_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    wheel, = (tmp_path / "dist").glob("nivoratest-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = email.message_from_bytes(archive.read("nivoratest-1.3.0.68.dist-info/METADATA"))
        entry_points = archive.read("nivoratest-1.3.0.68.dist-info/entry_points.txt").decode()
    assert "nivoratest/py.typed" in names
    assert metadata["Version"] == "1.3.0.68"
    assert metadata["License"] and metadata["Requires-Python"] == ">=3.9"
    assert "Typing :: Typed" in metadata.get_all("Classifier")
    assert any(requirement.startswith("pytest") for requirement in metadata.get_all("Requires-Dist"))
    assert metadata["Description-Content-Type"] == "text/markdown"
    readme = (PYTHON_DIR / "README.md").read_text(encoding="utf-8")
    assert metadata.get_payload().strip() == readme.strip()
    assert "nivoratest.pytest_plugin = nivoratest.pytest_plugin" in entry_points


def test_package_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    # The cache sits in the checkout's build folder when there is one, so
    # the second run of the suite (the sanitizer build) reuses it.
    build = PYTHON_DIR.parent / "build"
    cache = build / "mypy-cache" if build.is_dir() else tmp_path / "mypy-cache"
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "nivoratest"],
                          cwd=PYTHON_DIR, env=child_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
