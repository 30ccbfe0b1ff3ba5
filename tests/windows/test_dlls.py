"""The Windows build itself: its settings, the DLLs' exports and imports
(i686-w64-mingw32-objdump -p), and the Wine prefix the other checks run in."""
import os
import re
import subprocess
from pathlib import Path

import pytest

OBJDUMP = "i686-w64-mingw32-objdump"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "avifil32.dll"}


@pytest.fixture(scope="module")
def bin_dir():
    return Path(os.environ["AVI_WINDOWS_BIN"])


def private_headers(path):
    return subprocess.run([OBJDUMP, "-p", str(path)], check=True, stdout=subprocess.PIPE,
                          text=True).stdout


def exports_of(path):
    table = private_headers(path).split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        if not line.strip():
            break
        names.append(re.sub(r"^\s*\[ *[0-9]*\] ", "", line))
    return names


def imports_of(path):
    return {m.lower() for m in re.findall(r"^\s*DLL Name: (\S+)", private_headers(path), re.M)}


def test_built_as_release_with_warnings_as_errors(bin_dir):
    cache = (bin_dir.parent / "CMakeCache.txt").read_text()
    assert re.search(r"^AVI_WERROR:BOOL=ON$", cache, re.M)
    assert re.search(r"^CMAKE_BUILD_TYPE:STRING=Release$", cache, re.M)
    assert re.search(r"^CMAKE_CXX_COMPILER:\S*=\S*i686-w64-mingw32", cache, re.M)


def test_avi_dll_exports_exactly_the_five_entry_points_undecorated(bin_dir):
    assert sorted(exports_of(bin_dir / "avi.dll")) == [
        "aviMovieAddFrame", "aviMovieClose", "aviMovieCreate",
        "aviMovieGetInterfaceFileTypeDef", "aviMovieGetTypeName"]


def test_avi_dll_links_avifil32_user32_and_the_host_toolkit(bin_dir):
    assert imports_of(bin_dir / "avi.dll") == {
        "avifil32.dll", "jraster.dll", "jvislib.dll", "kernel32.dll", "msvcrt.dll",
        "user32.dll"}


@pytest.mark.parametrize("binary, allowed", [
    ("jraster.dll", set()),
    ("jvislib.dll", set()),
    ("avirec_win.exe", {"jraster.dll", "jvislib.dll"}),
])
def test_needs_only_the_systems_dlls(bin_dir, binary, allowed):
    """The C++ runtime is linked in: nothing beyond the system's DLLs (and,
    for the host program, the host toolkit)."""
    imports = imports_of(bin_dir / binary)
    assert imports and imports <= SYSTEM_DLLS | allowed, imports - SYSTEM_DLLS - allowed


def reg_query(key, value):
    """The data of a registry value in the session's prefix, or None."""
    query = subprocess.run(["wine", "reg", "query", key, "/v", value], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, timeout=60)
    found = re.search(rf"^\s*{value}\s+REG_\w+\s+(.*?)\s*$", query.stdout, re.M)
    return found.group(1) if found else None


def test_the_wine_prefix_is_fresh_32_bit_and_unmanaged(wine, run_dir):
    assert reg_query(r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment",
                     "PROCESSOR_ARCHITECTURE") == "x86"
    # Windows are not managed by a window manager, so xdotool can focus the dialog.
    assert reg_query(r"HKCU\Software\Wine\X11 Driver", "Managed") == "N"
    # Made by this session: its variables were written before the prefix.
    prefix = Path(os.environ["WINEPREFIX"])
    session = run_dir.parent.parent / "env"
    assert (prefix / "drive_c").stat().st_mtime >= session.stat().st_mtime
