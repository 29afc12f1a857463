"""The modules reach the device library through its C interface only."""

import os
import re
import shutil
import subprocess

import pytest

import kelosdk
from kelosdk.standin import library_path

MODULES = ["kelo", "context", "acquisition", "chip", "configuration", "monitor", "persist", "cooling", "bias", "board", "trigger",
           "tandem", "identity", "revisions", "regbus"]
HEADER = os.path.join(os.path.dirname(__file__), os.pardir, "include", "kelo", "kelo.h")


def module_path(name):
    folder = os.path.dirname(kelosdk.__file__)
    (found,) = [f for f in os.listdir(folder) if f.startswith(name + ".") and f.endswith(".so")]
    return os.path.join(folder, found)


def interface():
    with open(HEADER) as f:
        return set(re.findall(r"KELO_API [^;(]*?\b(kelo_\w+)\(", f.read()))


@pytest.mark.skipif(not shutil.which("nm") or not os.path.exists(HEADER), reason="needs nm and the source tree")
@pytest.mark.parametrize("name", MODULES)
def test_module_uses_only_the_interface(name):
    out = subprocess.run(["nm", "-D", "--undefined-only", module_path(name)], capture_output=True, text=True, check=True).stdout
    used = {line.split()[-1] for line in out.splitlines() if line.split()[-1].startswith("kelo")}
    assert used and used <= interface()


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
@pytest.mark.parametrize("name", MODULES)
def test_module_finds_the_library_by_run_path(name):
    out = subprocess.run(["readelf", "-d", module_path(name)], capture_output=True, text=True, check=True).stdout
    assert "Shared library: [libKeloSdk.so]" in out
    assert "[$ORIGIN/../kelosdkpy.libs]" in out
    assert os.path.realpath(library_path()) == os.path.realpath(os.path.join(os.path.dirname(module_path(name)), os.pardir, "kelosdkpy.libs", "libKeloSdk.so"))
