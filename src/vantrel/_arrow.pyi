"""Type stubs of the compiled Arrow builder (vantrel._arrow)."""

from typing import Any, Callable, List, Optional, Tuple, Union

Body = Union[bytes, List[Any]]

class DecodeError(ValueError):
    """A TABLE body that cannot be read as a table."""

class ColumnTypeError(TypeError):
    """A value that does not fit its column (the text names the column, the row and both types)."""

class TableDecoder:
    """Builds Arrow record batches from the TABLE bodies of one answer."""

    def __init__(self, schema: Any = None) -> None: ...
    def begin(self, body: Optional[Body], /) -> bool: ...
    def infer(self, body: Body, /) -> bool: ...
    def stream(self, pull: Callable[[], Optional[Tuple[Body, bool]]],
               close: Callable[[Optional[BaseException]], object], /) -> Any: ...
    def schema(self) -> Any: ...
    @property
    def names(self) -> List[str]: ...
    @property
    def types(self) -> List[Optional[str]]: ...
