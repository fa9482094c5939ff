"""The shared libraries as the interpreter loads them: one stable-ABI file per
module (on a free-threaded interpreter, one for that interpreter), exporting only its init
function and needing nothing but the C library."""
import importlib.util
import shutil
import subprocess
import sysconfig

import pytest

MODULES = ["OrvanDeck", "PelmarDeck", "deckrun"]


def origin(name):
    return importlib.util.find_spec(name).origin


def ldd(path):
    return subprocess.run(["ldd", path], capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(not shutil.which("nm") or not shutil.which("ldd"), reason="binutils/ldd not installed")
@pytest.mark.parametrize("name", MODULES)
def test_exports_and_links(name):
    path = origin(name)
    deps = ldd(path)
    if "libasan" in deps or "libubsan" in deps:
        pytest.skip("sanitizer build links its runtime")
    # one stable-ABI file for every CPython; a free-threaded interpreter, which has no stable ABI
    # before 3.15, builds its own (e.g. .cpython-313t-x86_64-linux-gnu.so)
    suffix = sysconfig.get_config_var("EXT_SUFFIX") if sysconfig.get_config_var("Py_GIL_DISABLED") else ".abi3.so"
    assert path.endswith(suffix), path
    table = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                           check=True).stdout
    symbols = [line.split()[-1] for line in table.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + name]
    libs = {line.split()[0] for line in deps.splitlines() if line.strip()}
    assert not any("stdc++" in lib or "python" in lib or "libgcc_s" in lib for lib in libs), libs
    assert "libc.so.6" in libs
