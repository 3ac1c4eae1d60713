"""The method table of a server: registration, argument checks and calls."""

from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, Iterator, Mapping, Optional, Tuple

from vantrel.share.errors import InvalidArgumentsError, MethodNotFoundError

__all__ = ["Dispatcher", "parse_request"]

Handler = Callable[..., Any]


def parse_request(payload: Any) -> Tuple[str, Tuple[Any, ...], Dict[str, Any]]:
    """Split a decoded REQUEST body into ``(method, args, kwargs)``.

    Raises :class:`InvalidArgumentsError` when it is not a method name, a
    sequence of arguments and a mapping of named arguments.
    """
    if not isinstance(payload, (list, tuple)) or len(payload) != 3:
        raise InvalidArgumentsError("malformed request: expected (method, args, kwargs)")
    method, args, kwargs = payload
    if not isinstance(method, str):
        raise InvalidArgumentsError("malformed request: the method name must be text, not %s"
                                    % type(method).__name__)
    if not isinstance(args, (list, tuple)):
        raise InvalidArgumentsError("malformed request: args must be a sequence, not %s"
                                    % type(args).__name__)
    if not isinstance(kwargs, Mapping) or not all(isinstance(k, str) for k in kwargs):
        raise InvalidArgumentsError("malformed request: kwargs must map names to values")
    return method, tuple(args), dict(kwargs)


class Dispatcher:
    """Handlers by method name, each with its signature for checking the arguments."""

    def __init__(self, handlers: Optional[Mapping[str, Handler]] = None) -> None:
        self._handlers: Dict[str, Tuple[Handler, Optional[inspect.Signature]]] = {}
        for name, func in (handlers or {}).items():
            self.register(name, func)

    def register(self, name: str, func: Handler) -> Handler:
        if not callable(func):
            raise TypeError("handler for %r is not callable" % (name,))
        try:
            sig: Optional[inspect.Signature] = inspect.signature(func)
        except (TypeError, ValueError):  # some built-ins have no signature
            sig = None
        self._handlers[name] = (func, sig)
        return func

    def __contains__(self, name: object) -> bool:
        return name in self._handlers

    def __iter__(self) -> Iterator[str]:
        return iter(sorted(self._handlers))

    async def call(self, method: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        """Run the handler of ``method`` and return its result, awaited if need be.

        Raises :class:`MethodNotFoundError` or :class:`InvalidArgumentsError`
        before the handler runs; whatever the handler raises passes through.
        """
        try:
            func, sig = self._handlers[method]
        except KeyError:
            raise MethodNotFoundError("no such method: %r" % (method,)) from None
        if sig is not None:
            try:
                sig.bind(*args, **kwargs)
            except TypeError as e:
                raise InvalidArgumentsError("%s: %s" % (method, e)) from None
        result = func(*args, **kwargs)
        if inspect.isawaitable(result):
            result = await result
        return result
