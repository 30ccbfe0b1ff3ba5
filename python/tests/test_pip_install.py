"""pip installs the module offline into a virtual environment, and the
installed module finds the avirec built in the checkout it came from."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy")
import avirec  # noqa: E402
from movies import probe  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(avirec.__file__)))

USE = textwrap.dedent("""\
    import numpy as np
    import imageio
    import avirec

    print(avirec.__file__)
    print(avirec.find_avirec())
    frames = np.zeros((3, 12, 16, 3), np.uint8)
    imageio.mimwrite("imageio.avi", frames, format="AVIREC", fps=5, codec="ffv1")
    out = avirec.VideoWriter("opencv.avi", avirec.VideoWriter_fourcc(*"MJPG"), 5, (16, 12))
    for frame in frames:
        out.write(frame)
    out.release()
    """)


def test_pip_installs_it_offline_and_it_finds_the_built_avirec(tmp_path):
    pytest.importorskip("imageio")
    # A checkout of the module with avirec built beside it, so that pip's
    # build leaves nothing in the real one.
    checkout = tmp_path / "checkout"
    shutil.copytree(SOURCE, checkout / "python", ignore=shutil.ignore_patterns(
        "tests", "build", "*.egg-info", "__pycache__"))
    (checkout / "build" / "bin").mkdir(parents=True)
    os.symlink(os.path.abspath(os.environ["AVIREC"]), checkout / "build" / "bin" / "avirec")

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation",
                    "--no-index", str(checkout / "python")], check=True)

    # Nothing but the installed module to go by: no PYTHONPATH, no AVIREC,
    # no avirec on PATH, run from elsewhere.
    work = tmp_path / "work"
    work.mkdir()
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("PYTHONPATH", "AVIREC", "VIRTUAL_ENV")}
    environment["PATH"] = "/usr/bin:/bin"
    assert shutil.which("avirec", path=environment["PATH"]) is None
    (work / "use.py").write_text(USE)
    out = subprocess.run([str(venv / "bin" / "python"), "use.py"], cwd=work, env=environment,
                         check=True, capture_output=True, text=True).stdout.splitlines()
    assert out[0].startswith(str(venv)), "the installed module, not the checkout's"
    assert out[1] == str(checkout / "build" / "bin" / "avirec")
    assert probe(str(work / "imageio.avi"))["codec_name"] == "ffv1"
    assert probe(str(work / "opencv.avi"))["nb_read_packets"] == "3"
