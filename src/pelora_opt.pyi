# Type stubs for the pelora_opt extension module.
from typing import Any, Callable, Sequence

class InternalFailure(BaseException): ...

# --- modelling classes ------------------------------------------------------

# --- results ----------------------------------------------------------------

# --- module functions -------------------------------------------------------
