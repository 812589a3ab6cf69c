"""The package's version is the helper's: CFBundleShortVersionString of
bundle/Info.plist in the source tree, or, building from an sdist (which
holds no Info.plist), the version the sdist was made with."""

import pathlib
import plistlib
import re

from setuptools import setup

here = pathlib.Path(__file__).resolve().parent
info = here.parent.parent / "bundle" / "Info.plist"
if info.is_file():
    with info.open("rb") as plist:
        version = plistlib.load(plist)["CFBundleShortVersionString"]
else:
    version = re.search(r"^Version: (\S+)$", (here / "PKG-INFO").read_text(), re.M)[1]
setup(version=version)
