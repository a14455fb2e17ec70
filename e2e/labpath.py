"""Puts the product's Python modules on the tests' import path: the Wine lab (lab/) and the driver
of disckit trial (kit/trial/). Imported first by every test that uses them."""

import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent
for _folder in (_ROOT / "kit" / "trial", _ROOT / "lab"):
    if str(_folder) not in sys.path:
        sys.path.insert(0, str(_folder))
