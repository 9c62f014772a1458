# Type stub of the native modules cellprox_gnu, cellprox_darwin and cellprox_nt, which share
# one interface. The build installs it as cellprox_<deliverable>.pyi beside the extension and as
# the stub package cellprox_<deliverable>-stubs (which is where mypy looks). The signatures are
# those of the package's NativeModule protocol, so that the two cannot drift apart.
from cellprox._native import NativeModule

__test__: dict[str, str]

_module: NativeModule
get_bb_intersections = _module.get_bb_intersections
generate_neighbors = _module.generate_neighbors
