"""The reference data server: connections, the handshake and the answers.

One asyncio task serves one connection: it reads the client's HANDSHAKE,
answers it, then serves REQUEST packets one at a time, each answer written
whole before the next request is read.  Answers use the serializer of the
request and the server's compression method.

Until a client is authenticated it may cost little: its handshake is small
(:mod:`vantrel.server.limits`), bounded in time from the accept on (TLS
included), and it is the first to go when the connections run out.  Bodies
in flight share one budget (:mod:`vantrel.server.budget`), and a client that
reads none of its answer for ``write_timeout`` seconds is dropped.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
import socket
import ssl
from typing import Any, Callable, Dict, Mapping, Optional, Tuple, Union

from vantrel.share.codec import CodecError, decompress, pack_one
from vantrel.share.errors import AuthenticationError, RemoteExecutionError, ServerError
from vantrel.share.protocol import COMPRESSION_METHOD, HEADER_LENGTH, MSG_TYPE, SERIALIZATION_TYPE

from . import limits
from .answers import Packets, Stream
from .auth import accept_all
from .budget import ByteBudget
from .clients import Client, ClientTable, RateLog, reset
from .dispatch import Dispatcher, Handler, parse_request
from .listener import Listener
from .throttle import AuthThrottle, address_key
from .tls import start_tls
from .wire import (
    DEFAULT_MAX_BODY,
    TLS_ON_PLAIN,
    BadInput,
    Received,
    TooLarge,
    decode_body,
    empty_packet,
    error_packet,
    error_pair,
    read_packet,
    release,
)

__all__ = ["Server", "compression_code"]

log = logging.getLogger("vantrel.server")

_RAW = int(SERIALIZATION_TYPE.RAW)
#: Bytes the server lets pile up in a connection's send buffer before a writer
#: waits for the client to read (the back-pressure of large streams).
WRITE_BUFFER_HIGH = 256 * 1024
#: The stream reader of a connection stops reading from its socket when this
#: many bytes are waiting beyond the packet being read (twice the limit).
_READ_LIMIT = 64 * 1024
#: Longest time a refused client's remaining bytes are read and dropped, so
#: that it gets to read the refusal rather than a connection reset.
_REFUSAL_LINGER = 2.0
#: Connections the kernel queues for accepting: under a flood of new
#: connections a shorter queue drops good clients' connection requests, which
#: are then retried only after a second or more.
_BACKLOG = 1024
#: The message of asyncio's loop when an accept fails (no descriptor left, ...).
_ACCEPT_FAILED = "socket.accept() out of system resource"
_MSGPACK = int(SERIALIZATION_TYPE.MSGPACK)
_NONE = int(COMPRESSION_METHOD.NONE)
_TLS_HANDSHAKE = 0x16  # the first byte of a TLS ClientHello
_THROTTLED = "authentication failed: too many failures from this address, try again later"
PLAIN_ON_TLS = ("a plain client connected to a TLS listener "
                "(connect with TLS, or start the server without)")


class _Refused(Exception):
    """A handshake refused with an ERROR packet (its text) before the connection closes."""


class _SlowReader(BadInput):
    """The client read nothing of its answer for the write time-out."""


class _NoHandshake(BadInput):
    """No handshake came within the handshake time-out."""


def compression_code(value: Union[str, int]) -> int:
    """The compression code for a name ("zstd", "NONE", ...) or a code; checks it is usable."""
    if isinstance(value, str):
        try:
            code = int(COMPRESSION_METHOD[value.strip().upper()])
        except KeyError:
            names = ", ".join(m.name.lower() for m in COMPRESSION_METHOD)
            raise ValueError("unknown compression %r (choose from %s)" % (value, names)) from None
    else:
        code = int(value)
        if code not in COMPRESSION_METHOD:
            raise ValueError("unknown compression code %r" % (value,))
    # Raises CodecUnavailableError (a ValueError) when the library is missing.
    pack_one(b"", MSG_TYPE.RESPONSE, _RAW, code, force_compress=True)
    return code


def _peer_name(writer: asyncio.StreamWriter) -> Tuple[str, str]:
    """The peer as ``host:port`` for the log, and its host."""
    peer = writer.get_extra_info("peername")
    if isinstance(peer, tuple) and len(peer) >= 2:
        return "%s:%s" % (peer[0], peer[1]), str(peer[0])
    return str(peer), str(peer)


class Server:
    """A data server: a method table, an authenticator and the options of its answers.

    ``handlers`` maps method names to plain or async functions.  ``authenticator``
    is called with each client's authentication record (see
    :mod:`vantrel.server.auth`); ``notice`` is sent in the HANDSHAKE reply
    when it is not ``None``.  ``compression`` (a name or code) packs the
    answers; bodies under the codec's threshold go uncompressed.  Clients
    whose packets announce more than ``max_body`` bytes, or that send no
    handshake within ``handshake_timeout`` seconds, are disconnected.
    ``grace`` is how long a shutdown lets answers in progress finish.
    With ``tls`` (a server-side :class:`ssl.SSLContext`) every connection is
    TLS from its first byte.  With ``idle_timeout`` a client that sends no
    whole request within that many seconds of its last answer (an idle client,
    or one stuck in the middle of a packet) is disconnected.

    Limits against hostile clients: before authentication a HANDSHAKE body may
    announce ``max_handshake_body`` bytes, expand to ``max_handshake_expanded``
    bytes and hold ``max_handshake_objects`` objects (a handshake over them is
    refused with an ERROR packet); all clients together may have
    ``max_in_flight`` body bytes in flight (past it, no new body is read until
    one is done); at most ``max_connections`` connections are kept (default:
    from RLIMIT_NOFILE; past it a new connection replaces the oldest
    unauthenticated one, or is closed at once); a client that reads nothing of
    its answer for ``write_timeout`` seconds (default ``idle_timeout``, or
    60 s without one) is dropped.  Handshakes and bodies up to 64 KiB do not
    count against ``max_in_flight``; a larger body reserves its size once its
    first bytes came, and must then be whole within ``body_timeout`` seconds.
    After a few failed authentications from one address, each further attempt
    from it waits, longer after each failure, up to ``auth_delay`` seconds
    (0: no wait).
    """

    def __init__(self, handlers: Optional[Mapping[str, Handler]] = None, *,
                 authenticator: Optional[Callable[[Dict[str, Any]], Any]] = None,
                 notice: Optional[str] = None,
                 compression: Union[str, int] = COMPRESSION_METHOD.NONE,
                 max_body: int = DEFAULT_MAX_BODY,
                 handshake_timeout: float = 30.0,
                 grace: float = 2.0,
                 tls: Optional[ssl.SSLContext] = None,
                 idle_timeout: Optional[float] = None,
                 max_handshake_body: int = limits.HANDSHAKE_MAX_BODY,
                 max_handshake_expanded: int = limits.HANDSHAKE_MAX_EXPANDED,
                 max_handshake_objects: int = limits.HANDSHAKE_MAX_OBJECTS,
                 max_in_flight: int = limits.MAX_IN_FLIGHT,
                 max_connections: Optional[int] = None,
                 write_timeout: Optional[float] = None,
                 body_timeout: float = limits.BODY_TIMEOUT,
                 auth_delay: float = limits.AUTH_MAX_DELAY) -> None:
        self.dispatcher = Dispatcher(handlers)
        self.authenticator = authenticator if authenticator is not None else accept_all
        self.notice = notice
        self.compression = compression_code(compression)
        self.max_body = int(max_body)
        self.handshake_timeout = handshake_timeout
        self.grace = grace
        self.tls = tls
        if idle_timeout is not None and not idle_timeout > 0:  # NaN included
            # 0 would drop every client right after its handshake
            raise ValueError("idle_timeout must be a positive number of seconds or None, not %r"
                             % (idle_timeout,))
        self.idle_timeout = idle_timeout
        if write_timeout is None:
            write_timeout = idle_timeout if idle_timeout is not None else 60.0
        if not write_timeout > 0:
            raise ValueError("write_timeout must be a positive number of seconds or None, not %r"
                             % (write_timeout,))
        self.write_timeout = write_timeout
        if not body_timeout > 0:
            raise ValueError("body_timeout must be a positive number of seconds, not %r"
                             % (body_timeout,))
        self.body_timeout = body_timeout
        self._throttle = AuthThrottle(auth_delay, limits.AUTH_FREE_FAILURES)
        self.auth_delay = auth_delay
        self.max_handshake_body = int(max_handshake_body)
        self.max_handshake_expanded = int(max_handshake_expanded)
        self.max_handshake_objects = int(max_handshake_objects)
        self.max_in_flight = int(max_in_flight)
        self.max_connections = (limits.default_max_connections() if max_connections is None
                                else int(max_connections))
        self._budget = ByteBudget(self.max_in_flight)
        # Stream batches are made and encoded one at a time across all
        # connections, in turns, so that many large answers at once cannot hold
        # the event loop from a small one for longer than a batch.
        self._turns = ByteBudget(1)
        self._clients = ClientTable(self.max_connections)
        self._over_limit = RateLog(log, "closed connections over the limit of %d"
                                   % self.max_connections)
        self._accept_failed = RateLog(log, "accepting a connection failed")
        self._evicted = RateLog(log, "dropped connections not authenticated yet for new ones "
                                "(limit %d)" % self.max_connections, level=logging.INFO)
        self._bad_handshakes = RateLog(log, "closed connections not authenticated")
        self._throttled = RateLog(log, "refused handshakes from addresses with too many "
                                  "failed authentications", level=logging.INFO)
        self._no_handshake = RateLog(log, "closed connections without a handshake within %g s"
                                     % self.handshake_timeout)
        self._previous_handler: Any = None
        self._server: Optional[Listener] = None
        self._closing = False
        self._closed: Optional[asyncio.Event] = None
        self.address: Optional[Tuple[str, int]] = None

    # -- methods -----------------------------------------------------------

    def register(self, name: str, func: Optional[Handler] = None) -> Any:
        """Register ``func`` under ``name``; without ``func``, a decorator."""
        if func is None:
            return lambda f: self.dispatcher.register(name, f)
        return self.dispatcher.register(name, func)

    @property
    def methods(self) -> list[str]:
        return list(self.dispatcher)

    # -- life cycle ----------------------------------------------------------

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> Tuple[str, int]:
        """Listen on ``host``:``port`` (0 for a free port); returns the bound address."""
        if self._server is not None:
            raise RuntimeError("the server was already started")
        self._closed = asyncio.Event()
        loop = asyncio.get_running_loop()
        self._previous_handler = loop.get_exception_handler()
        loop.set_exception_handler(self._loop_exception)
        # TLS is started on each accepted connection (see tls.py), not by the listener.
        self._server = Listener(self.max_connections, self._on_socket, self._make_room,
                                self._over_limit, self._accept_failed)
        self.address = await self._server.start(host, port, _BACKLOG)
        log.info("listening on %s:%d", *self.address)
        return self.address

    async def serve(self, host: str = "127.0.0.1", port: int = 0) -> None:
        """Start, then return when the server has been shut down."""
        await self.start(host, port)
        await self.wait_closed()

    async def wait_closed(self) -> None:
        if self._closed is None:
            raise RuntimeError("the server was never started")
        await self._closed.wait()

    async def shutdown(self, grace: Optional[float] = None) -> None:
        """Stop accepting, let answers in progress finish for ``grace`` seconds, close all."""
        if self._closed is None:
            raise RuntimeError("the server was never started")
        if self._closing:
            await self._closed.wait()
            return
        self._closing = True
        grace = self.grace if grace is None else grace
        assert self._server is not None
        self._server.close()
        idle = [c.task for c in self._clients if not c.busy and c.task is not None]
        busy = [c.task for c in self._clients if c.busy and c.task is not None]
        for task in idle:
            task.cancel()
        if busy:
            log.info("shutting down: waiting up to %.1f s for %d answer(s)", grace, len(busy))
            _, pending = await asyncio.wait(busy, timeout=grace)
            for task in pending:
                task.cancel()
        tasks = [c.task for c in self._clients if c.task is not None]
        if tasks:
            await asyncio.wait(tasks, timeout=2.0)
        try:
            await asyncio.wait_for(self._server.wait_closed(), 2.0)
        except asyncio.TimeoutError:
            pass
        loop = asyncio.get_running_loop()
        if loop.get_exception_handler() == self._loop_exception:
            loop.set_exception_handler(self._previous_handler)
        log.info("server closed")
        self._closed.set()

    def _loop_exception(self, loop: asyncio.AbstractEventLoop, context: Dict[str, Any]) -> None:
        # A failed accept (out of descriptors, ...) is reported by asyncio on
        # every attempt: one line per interval, with a count, is enough.
        if str(context.get("message", "")).startswith(_ACCEPT_FAILED):
            self._accept_failed.note(context.get("exception") or "")
        elif self._previous_handler is not None:
            self._previous_handler(loop, context)
        else:
            loop.default_exception_handler(context)

    # -- one connection ------------------------------------------------------------

    def _on_socket(self, sock: socket.socket) -> None:
        asyncio.get_running_loop().create_task(self._connection(sock))

    def _make_room(self) -> Optional[bool]:
        """Evict a client waiting for its handshake: True when one was, False when every
        client is authenticated, None when some are not served yet (ask again soon)."""
        evicted = self._clients.evict()
        if evicted is None:
            assert self._server is not None
            return None if self._server.open > len(self._clients) else False
        self._evicted.note(debug=evicted.peer)
        return True

    async def _connection(self, sock: socket.socket) -> None:
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader(limit=_READ_LIMIT, loop=loop)
        protocol = asyncio.StreamReaderProtocol(reader, loop=loop)
        try:
            transport, _ = await loop.connect_accepted_socket(lambda: protocol, sock)
        except (OSError, RuntimeError) as e:
            sock.close()
            log.debug("accepted connection lost at once: %r", e)
            return
        writer = asyncio.StreamWriter(transport, protocol, reader, loop)
        await self._handle(reader, writer, sock)

    async def _handle(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                      sock: Optional[socket.socket] = None) -> None:
        peer, host = _peer_name(writer)
        client = Client(peer, asyncio.current_task(), writer.transport, reader)
        if self._closing:
            writer.transport.abort()
            return
        self._clients.add(client)
        aborted = False
        try:
            if await self._handshake(reader, writer, client, host, sock):
                await self._serve_requests(reader, writer, client)
        except _NoHandshake:
            client.abort = True
            self._no_handshake.note(debug=client.peer)
        except BadInput as e:
            if isinstance(e, _SlowReader):
                client.abort = True
            self._closing_log(client, str(e))
        except (ConnectionError, OSError, ssl.SSLError) as e:
            log.debug("connection from %s lost: %r", client.peer, e)
            # Its traceback holds this task's frames: freed now, not by a full collection.
            e.__traceback__ = None
        except asyncio.CancelledError:
            # Only a shutdown cancels a connection; the task ends quietly (a
            # cancelled task would be reported by asyncio as an error).
            aborted = True
        except Exception:  # a fault of the server itself: this connection only
            log.exception("internal error serving %s", client.peer)
        finally:
            self._clients.discard(client)
            if client.abort:
                reset(writer.transport)  # nothing queued for the client is kept
            elif aborted and client.busy:
                writer.transport.abort()
            else:
                writer.close()

    def _closing_log(self, client: Client, reason: str) -> None:
        """A bad client's warning: each one for an authenticated client, once per interval
        with a count for the others (each at DEBUG)."""
        if client.authenticated:
            log.warning("closing connection from %s: %s", client.peer, reason)
            return
        log.debug("closing connection from %s: %s", client.peer, reason)
        self._bad_handshakes.note(reason)

    async def _handshake(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                         client: Client, host: str, sock: Optional[socket.socket]) -> bool:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.handshake_timeout
        # One deadline, from the accept on, covers TLS and the first packet.
        if self.tls is not None:
            first = b"\x16"
            if sock is not None:
                first = await self._peek(writer, sock, deadline)
            if not first:
                return False
            if first[0] != _TLS_HANDSHAKE:
                client.heard = True
                writer.transport.resume_reading()  # type: ignore[attr-defined]
                st = first[1] if len(first) > 1 and first[1] in SERIALIZATION_TYPE else _MSGPACK
                return await self._refuse(reader, writer, client, deadline, st or _MSGPACK,
                                          "handshake refused: the server speaks TLS: connect with TLS",
                                          PLAIN_ON_TLS)
            await start_tls(writer, self.tls, max(0.001, deadline - loop.time()))
        try:
            # Read outside the in-flight budget: it is bounded by the handshake limits.
            packet = await asyncio.wait_for(read_packet(reader, self.max_handshake_body),
                                            max(0.0, deadline - loop.time()))
        except asyncio.TimeoutError:
            raise _NoHandshake("no handshake within %g s" % self.handshake_timeout) from None
        except TooLarge as e:
            client.heard = True
            return await self._refuse(reader, writer, client, deadline, e.st or _MSGPACK,
                                      "handshake refused: %s before authentication" % e)
        except BadInput as e:
            if str(e) != TLS_ON_PLAIN:
                raise
            # Closed without a reset, so that the client's TLS layer sees the end.
            client.heard = True
            self._closing_log(client, str(e))
            await self._linger(reader, writer, deadline)
            return False
        if packet is None:
            return False
        client.heard = True
        try:
            record = self._decode_handshake(packet)
        except _Refused as e:
            return await self._refuse(reader, writer, client, deadline, packet.st, str(e))
        st, cm = packet.st, self.compression
        del packet
        key = address_key(host)
        wait = self._throttle.wait(key, loop.time(), max(0.0, deadline - loop.time()))
        if wait is None:
            # Its turn would come after its deadline: refused without a check, as
            # late as a check would have been, and counted in one line.
            await asyncio.sleep(max(0.0, min(deadline - loop.time(), self.auth_delay)))
            self._throttled.note(debug=client.peer)
            writer.write(error_packet(AuthenticationError.code, _THROTTLED, st, cm))
            await self._drain(writer)
            return False
        if wait:
            await asyncio.sleep(wait)
        refusal = await self._authenticate(record, client)
        if refusal is None:
            self._throttle.succeeded(key)
        else:
            self._throttle.failed(key, loop.time())
        if refusal is not None:
            user = record.get("user") if isinstance(record, dict) else None
            log.info("refused %s (user %r): %s", client.peer, user, refusal)
            writer.write(error_packet(AuthenticationError.code, refusal, st, cm))
            await self._drain(writer)
            return False
        client.authenticated = True
        writer.transport.set_write_buffer_limits(high=WRITE_BUFFER_HIGH)
        if self.notice is None:
            writer.write(empty_packet(MSG_TYPE.HANDSHAKE, st))
        else:
            writer.write(pack_one(self.notice, MSG_TYPE.HANDSHAKE, st, cm))
        await self._drain(writer)
        log.debug("accepted %s (user %r)", client.peer, record.get("user"))
        return True

    async def _peek(self, writer: asyncio.StreamWriter, sock: socket.socket,
                    deadline: float) -> bytes:
        """The first bytes the client sent, left in the socket for TLS to read."""
        loop: Any = asyncio.get_running_loop()
        # The transport owns the descriptor: its reading is paused and the
        # selector's low-level registration used meanwhile (a selector loop's).
        add, remove = getattr(loop, "_add_reader", None), getattr(loop, "_remove_reader", None)
        if add is None or remove is None:
            return b"\x16"
        writer.transport.pause_reading()  # type: ignore[attr-defined]
        ready: asyncio.Future[None] = loop.create_future()
        fd = sock.fileno()
        add(fd, lambda: None if ready.done() else ready.set_result(None))
        try:
            await asyncio.wait_for(ready, max(0.0, deadline - loop.time()))
        except asyncio.TimeoutError:
            raise _NoHandshake("no handshake within %g s" % self.handshake_timeout) from None
        finally:
            remove(fd)
        try:
            return sock.recv(HEADER_LENGTH, socket.MSG_PEEK)
        except OSError:
            return b""

    def _decode_handshake(self, packet: Received) -> Any:
        """The authentication record; :class:`_Refused` over the limits or when undecodable."""
        if packet.mt != MSG_TYPE.HANDSHAKE:
            raise BadInput("%s before the handshake" % MSG_TYPE[packet.mt])
        if packet.st == _RAW:
            raise BadInput("HANDSHAKE body serialized as RAW")
        if packet.body is None:
            return None
        if packet.st == _MSGPACK:
            body = packet.body
            if packet.cm != _NONE:
                try:
                    body = decompress(body, packet.cm, self.max_handshake_expanded)
                except CodecError as e:
                    raise _Refused("handshake refused: %s" % e) from None
            if limits.count_msgpack(body, self.max_handshake_objects) > self.max_handshake_objects:
                raise _Refused("handshake refused: more than %d objects before authentication"
                               % self.max_handshake_objects)
            packet = packet._replace(body=body, cm=_NONE)
        try:
            record = decode_body(packet, self.max_handshake_expanded)
        except BadInput as e:
            raise _Refused("handshake refused: %s" % e) from None
        if limits.count_objects(record, self.max_handshake_objects) > self.max_handshake_objects:
            raise _Refused("handshake refused: more than %d objects before authentication"
                           % self.max_handshake_objects)
        return record

    async def _refuse(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                      client: Client, deadline: float, st: int, text: str,
                      why: Optional[str] = None) -> bool:
        """Tell the client why its handshake is refused (``text``), then let it go;
        ``why`` is the log's reason when it is not ``text``."""
        self._closing_log(client, why or text)
        writer.write(error_packet(AuthenticationError.code, text, st, self.compression))
        await self._linger(reader, writer, deadline)
        return False

    async def _linger(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                      deadline: float) -> None:
        loop = asyncio.get_running_loop()
        linger = min(_REFUSAL_LINGER, max(0.0, deadline - loop.time()))
        try:
            # What the client still sends is read and dropped for a moment, so
            # that closing does not reset the connection before it reads the
            # refusal.
            await asyncio.wait_for(_discard(reader, writer), linger)
        except (asyncio.TimeoutError, ConnectionError, OSError):
            pass

    async def _authenticate(self, record: Any, client: Client) -> Optional[str]:
        """None when the client is accepted, else the text of the refusal."""
        if not isinstance(record, dict):
            return "authentication failed: the record must be a mapping"
        try:
            result = self.authenticator(record)
            if inspect.isawaitable(result):
                result = await result
        except ServerError as e:
            return str(e) or "authentication failed"
        except Exception as e:  # never let the record (a password) reach the log
            log.warning("authenticator raised %s for %s", type(e).__name__, client.peer)
            return "authentication failed"
        if result is not None and not result:
            return "authentication failed"
        return None

    async def _serve_requests(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                              client: Client) -> None:
        while not self._closing:
            client.busy = False
            try:
                packet = await asyncio.wait_for(
                    read_packet(reader, self.max_body, self._budget, self.body_timeout),
                    self.idle_timeout)
            except asyncio.TimeoutError:
                log.info("closing idle connection from %s (no request within %g s)",
                         client.peer, self.idle_timeout)
                return
            if packet is None:
                return
            client.busy = True
            try:
                if packet.mt != MSG_TYPE.REQUEST:
                    raise BadInput("unexpected %s packet, REQUEST expected" % MSG_TYPE[packet.mt])
                if packet.st == _RAW:
                    raise BadInput("REQUEST body serialized as RAW")
                payload = decode_body(packet, self.max_body)
            finally:
                release(packet, self._budget)
            st = packet.st
            del packet  # the body's bytes go before the answer is made
            await self._answer(writer, payload, st)

    # -- answers ---------------------------------------------------------------------

    async def _answer(self, writer: asyncio.StreamWriter, payload: Any, st: int) -> None:
        cm = self.compression
        method = "?"
        try:
            method, args, kwargs = parse_request(payload)
            result = await self.dispatcher.call(method, args, kwargs)
        except Exception as e:
            await self._send_error(writer, e, method, st)
            return
        if isinstance(result, Packets):
            writer.writelines(result.packets)
            await self._drain(writer)
        elif isinstance(result, Stream):
            await self._write_stream(writer, result, method, st)
        else:
            try:
                packet = pack_one(result, MSG_TYPE.RESPONSE, st, cm)
            except Exception as e:
                await self._send_error(writer, _unencodable(e), method, st)
                return
            writer.write(packet)
            await self._drain(writer)

    async def _send_error(self, writer: asyncio.StreamWriter, exc: BaseException,
                          method: str, st: int) -> None:
        code, message = error_pair(exc)
        log.info("method %s failed (code %s): %s", method, code, message)
        log.debug("details of the failure of %s", method, exc_info=exc)
        writer.write(error_packet(code, message, st, self.compression))
        await self._drain(writer)

    async def _write_stream(self, writer: asyncio.StreamWriter, stream: Stream,
                            method: str, st: int) -> None:
        cm = self.compression
        kind = stream.kind
        batches = stream.batches()
        # Rows from a plain iterable are made while the batch is taken: that is
        # work for the event loop, done in turns like the encoding.  An
        # asynchronous source is awaited outside the turns.
        sync_rows = not hasattr(stream.items, "__aiter__")
        started = False
        try:
            while True:
                failure: Optional[BaseException] = None
                holding = sync_rows
                if holding:
                    await self._turns.acquire(1)
                try:
                    try:
                        batch = await batches.__anext__()
                    except StopAsyncIteration:
                        break
                    except Exception as e:
                        failure = e
                    else:
                        if not holding:
                            await self._turns.acquire(1)
                            holding = True
                        try:
                            packet = pack_one(batch, kind, st, cm)
                        except Exception as e:
                            failure = _unencodable(e)
                        del batch  # its rows go now, not after the client has read them
                finally:
                    if holding:
                        self._turns.release(1)
                if failure is not None:
                    await self._send_error(writer, failure, method, st)
                    return
                if not started:
                    writer.writelines([empty_packet(MSG_TYPE.STREAM_START, st), packet])
                    started = True
                else:
                    writer.write(packet)
                del packet
                await self._drain(writer)
                # While the socket takes all, nothing above waits: let the other
                # connections have the loop between two batches.
                await asyncio.sleep(0)
            if not started:
                writer.write(empty_packet(MSG_TYPE.STREAM_START, st))
            writer.write(empty_packet(MSG_TYPE.STREAM_END, st))
            await self._drain(writer)
        finally:
            await batches.aclose()

    async def _drain(self, writer: asyncio.StreamWriter) -> None:
        """Wait until the client has read enough of what is queued for it, at most
        ``write_timeout`` seconds; :class:`_SlowReader` past it."""
        if writer.transport.get_write_buffer_size() == 0:
            await writer.drain()  # nothing queued: returns at once
            return
        try:
            await asyncio.wait_for(writer.drain(), self.write_timeout)
        except asyncio.TimeoutError:
            raise _SlowReader("the client read none of its answer for %g s"
                              % self.write_timeout) from None


async def _discard(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    if writer.can_write_eof():
        writer.write_eof()  # the client sees the end right after the refusal
    await writer.drain()
    while await reader.read(_READ_LIMIT):
        pass


def _unencodable(exc: BaseException) -> ServerError:
    return RemoteExecutionError("cannot encode the answer: %s: %s" % (type(exc).__name__, exc))
