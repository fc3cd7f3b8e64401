"""Validate a few coordinates with sferix (placeholder until the trees land)."""

import _sferix

print("sferix", _sferix.__version__, "exports", ", ".join(_sferix.__all__))
try:
    raise _sferix.GeodeticError("example")
except ValueError as err:
    print("GeodeticError is a ValueError:", err)
