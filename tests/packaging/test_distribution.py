"""The distribution: `python -m build` makes an sdist from the tree and a wheel from
that sdist.  A full C++ build, so it runs only when DECK_DIST_CHECK=1 (scripts/test.sh
sets it for one venv per run)."""

import glob
import os
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULES = ("OrvanDeck", "PelmarDeck", "deckrun")
STUB_FILES = {n + "-stubs/" + f for n in MODULES for f in ("__init__.pyi", "py.typed")}
PAYLOAD = {n + ".abi3.so" for n in MODULES} | STUB_FILES
SDIST_SOURCES = {"pyproject.toml", "CMakeLists.txt", "README.md", "OrvanDeck/module.cpp", "OrvanDeck/orvan.hpp",
                 "PelmarDeck/PelmarDeck.cpp", "launcher/deckrun.cpp", "glue/deck_glue.hpp"} \
    | {"stubs/" + f for f in STUB_FILES}

pytestmark = pytest.mark.skipif(os.environ.get("DECK_DIST_CHECK") != "1",
                                reason="slow full build; set DECK_DIST_CHECK=1")


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    # default mode of build: the sdist first, then the wheel built from that sdist
    proc = subprocess.run([sys.executable, "-m", "build", "--outdir", str(out), ROOT],
                          capture_output=True, text=True, timeout=1800)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    sdists = glob.glob(str(out / "*.tar.gz"))
    wheels = glob.glob(str(out / "*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, os.listdir(out)
    return sdists[0], wheels[0]


def payload(wheel):
    with zipfile.ZipFile(wheel) as z:
        return {n for n in z.namelist() if ".dist-info/" not in n}


def test_wheel_is_stable_abi(dist):
    _, wheel = dist
    name = os.path.basename(wheel)
    assert name.startswith("deck_tui-0.1.0-cp310-abi3-linux_"), name
    with zipfile.ZipFile(wheel) as z:
        meta = z.read("deck_tui-0.1.0.dist-info/WHEEL").decode()
    tags = [line.split(":", 1)[1].strip() for line in meta.splitlines() if line.startswith("Tag:")]
    assert tags and all(t.startswith("cp310-abi3-linux_") for t in tags), meta
    assert "Root-Is-Purelib: false" in meta


def test_wheel_holds_modules_stubs_and_entry_point(dist):
    _, wheel = dist
    assert payload(wheel) == PAYLOAD
    with zipfile.ZipFile(wheel) as z:
        entry = z.read("deck_tui-0.1.0.dist-info/entry_points.txt").decode()
        for f in sorted(STUB_FILES):
            with open(os.path.join(ROOT, "stubs", f), "rb") as src:
                assert z.read(f) == src.read(), f
    assert "[console_scripts]" in entry
    assert "deckrun = deckrun:main" in entry


def test_sdist_has_the_sources_and_no_build_output(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as t:
        names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
    assert SDIST_SOURCES <= names, sorted(SDIST_SOURCES - names)
    junk = [n for n in names if n.split("/")[0] in (".venv", "build", "dist") or n.endswith(".so")]
    assert junk == []


def test_wheel_from_sdist_matches_the_one_built_from_the_tree(dist):
    # dist/ holds the wheel that scripts/setup.sh built straight from the tree
    tree = glob.glob(os.path.join(ROOT, "dist", "deck_tui-*.whl"))
    if len(tree) != 1:
        pytest.skip("no wheel from scripts/setup.sh in dist/")
    assert os.path.basename(tree[0]) == os.path.basename(dist[1])
    assert payload(tree[0]) == payload(dist[1])


def test_modules_from_the_sdist_wheel_import(dist, tmp_path):
    with zipfile.ZipFile(dist[1]) as z:
        z.extractall(tmp_path)
    code = ("import OrvanDeck, PelmarDeck, deckrun, sys; "
            "print(*(m.__file__ for m in (OrvanDeck, PelmarDeck, deckrun)), sep='\\n'); "
            "sys.argv = ['deckrun']; print(deckrun.main())")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=60)
    assert proc.returncode == 0, proc.stderr
    *files, rc = proc.stdout.splitlines()
    assert files == [str(tmp_path / (n + ".abi3.so")) for n in MODULES]
    assert rc == "2" and "usage: deckrun MODULE" in proc.stderr
