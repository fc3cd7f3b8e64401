"""Static R-trees over geographic points, linestrings and polygons on the sphere."""

from _sferix import *  # noqa: F401,F403
from _sferix import __all__, __version__  # noqa: F401
from _sferix import _PanicException as PanicException  # noqa: F401
