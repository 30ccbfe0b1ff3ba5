"""Builds the avirec module for pip (see pyproject.toml). The module as
built also records where it was built from, so that once installed it
still finds the avirec program built in that checkout."""

import os

from setuptools import setup
from setuptools.command.build_py import build_py

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class BuildWithCheckout(build_py):
    def run(self):
        super().run()
        with open(os.path.join(self.build_lib, "avirec", "_checkout.py"), "w") as out:
            out.write('"""Where this module was built from."""\n\nCHECKOUT = %r\n' % CHECKOUT)


setup(cmdclass={"build_py": BuildWithCheckout})
