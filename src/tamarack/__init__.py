"""Read-only Python trees over XML documents parsed by pugixml."""

from os import path as _path

__all__ = ["get_include"]


def get_include() -> str:
    """Return the directory holding the C++ header tamarack/pugixml_api.hpp.

    Extension modules that call into tamarack.pugixml natively add this
    directory to their include path.
    """
    return _path.join(_path.dirname(_path.abspath(__file__)), "include")
