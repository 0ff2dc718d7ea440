"""kivet: canonical fingerprints of areas on the rHEALPix discrete global grid."""

from _kivet import (
    KIVET_1,
    MAX_RESOLUTION,
    OGC_RHEALPIX,
    Index,
    Profile,
    Tree,
    __version__,
)

__all__ = ["KIVET_1", "MAX_RESOLUTION", "OGC_RHEALPIX", "Index", "Profile", "Tree", "__version__"]

# Pictures: matplotlib is imported only when kivet.plot is called.
from kivet.plot import plot  # noqa: E402

__all__ += ["plot"]
