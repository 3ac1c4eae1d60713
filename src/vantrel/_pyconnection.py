"""Pure-Python twin of :mod:`vantrel.connection`.

Same module surface and behaviour as the compiled connection, written in plain
Python: the "twin" of the compiled module.  It is the oracle of the
differential tests and the baseline of the benchmarks, and the connection the
package uses when ``VANTREL_PURE_PYTHON`` is set (``vantrel._impls``); it is
never imported in place of the compiled module otherwise.  Its header checks
and their texts are the package's one Python copy (``vantrel._header``).

Module-level names used by the methods are globals of this module, so rebinding
one (``DEFAULT_SERIALIZER_TYPE`` for instance) changes every later call, as in
the compiled module.
"""

import socket
import select
import warnings
import typing as _t

from vantrel.share.protocol import MSG_TYPE, SERIALIZATION_TYPE, COMPRESSION_METHOD, HEADER_LENGTH
from vantrel.share.errors import get_error
from vantrel.share.codec import snappy, brotli, msgpack, unpack_header, pack_one, unpack_one, zstd  # noqa: F401 - unpack_header: read by the header check from this namespace
from vantrel.utils import connection_error
from vantrel.share import errors as _errors
from vantrel._header import CLOSED_DURING_CALL as _CLOSED_DURING_CALL, header_checker as _header_checker
from vantrel._header import room_text as _room_text
from time import monotonic as _monotonic

# Server errors end their answer cleanly (see Connection.execute).
_ServerError = getattr(_errors, "ServerError", ())
del _errors

if brotli is not None:
    DEFAULT_COMPRESSION_METHOD = COMPRESSION_METHOD.BROTLI
elif zstd is not None:
    DEFAULT_COMPRESSION_METHOD = COMPRESSION_METHOD.ZSTD
elif snappy is not None:
    DEFAULT_COMPRESSION_METHOD = COMPRESSION_METHOD.SNAPPY
else:
    DEFAULT_COMPRESSION_METHOD = COMPRESSION_METHOD.ZLIB

DEFAULT_SERIALIZER_TYPE = SERIALIZATION_TYPE.JSON if msgpack is None else SERIALIZATION_TYPE.MSGPACK

def _select_has_poll() -> bool:
    # An attribute look-up in which any failure counts as absent.
    try:
        getattr(select, "poll")
    except Exception:
        return False
    return True


if _select_has_poll():
    def _is_connection_normal(sock: _t.Any, /) -> bool:
        poll = select.poll()
        poll.register(sock, select.POLLIN | select.POLLERR)
        return not poll.poll(0)
else:  # pragma: no cover - platforms without poll()
    def _is_connection_normal(sock: _t.Any, /) -> bool:
        readable, _, exceptional = select.select([sock], [], [sock], 0)
        if readable:
            return False
        return not exceptional

del _select_has_poll


class ProtocolError(connection_error):
    pass


def _put_out_of_use(sock: _t.Any) -> None:
    # The answer was not read to its end: whatever is left of it must never be
    # taken for the answer of a later call.  Shut the socket down both ways so
    # that later requests fail at once and the liveness check reports it.
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except Exception:
        pass


# id(connection) -> the mark of the call in progress on it (or of close()
# closing it).  setdefault is one step in which no other thread runs, so two
# calls can never both find a connection free; no lock is taken and nobody
# waits.  A mark is a list of one flag, which close() during the call sets
# before it shuts the socket down.  What close() asked thus goes with the
# call's own mark: the call's end learns it from the mark it removes, in the
# same step, and nothing of it outlives the call.
_calls_in_progress: _t.Dict[int, _t.List[bool]] = {}


def _begin_call(conn: _t.Any, /) -> _t.Any:
    # The mark of execute, for readers of an answer outside it.
    mark = [False]
    if _calls_in_progress.setdefault(id(conn), mark) is not mark:
        raise RuntimeError("another call is in progress on this connection")
    # A connection with a call life (vantrel.connect's; the bare one has
    # none) starts each answer with all of its room.  (The life is returned,
    # for execute.)
    life = None if type(conn) is Connection else getattr(conn, "_call_life", None)
    if life is not None:
        life.room = life.max_answer_bytes
    return life


def _end_call(conn: _t.Any, /) -> bool:
    # True when close() was called during the call: the reader and the socket
    # are closed now, on the call's own thread, never under one of its reads.
    mark = _calls_in_progress.pop(id(conn), None)
    if mark is None or not mark[0]:
        return False
    for target in (conn._sf, conn._socket):
        try:
            target.close()
        except Exception:
            pass  # the thread that asked for the close has gone on already
    return True


class Connection:
    """A client connection over a connected stream socket (pure-Python twin)."""

    sock_factory = staticmethod(socket.create_connection)

    @staticmethod
    def set_sock_factory(func: _t.Callable[..., _t.Any], /) -> None:
        Connection.sock_factory = staticmethod(func)

    def __init__(self, sock: _t.Any, auth: _t.Any) -> None:
        self._socket = sock
        self._sf = sock.makefile("rb", 131072)
        self._compression_method = DEFAULT_COMPRESSION_METHOD
        self._serializer_type = SERIALIZATION_TYPE.MSGPACK
        self._auth_info = auth.copy()
        self._auth_info["node"] = self._socket.getsockname()[0]
        self._do_auth(self._auth_info)

    def set_timeout(self, timeout: _t.Optional[float]) -> None:
        self._socket.settimeout(timeout)

    def is_normal(self) -> bool:
        if id(self) in _calls_in_progress:
            return False  # inside a call: not idle
        return _is_connection_normal(self._socket)

    def _read_one_packet(self) -> _t.Tuple[_t.Any, _t.Any]:
        mt, st, cm, length = _split_header(self._sf.read(HEADER_LENGTH))
        if length > 0:
            # With a call life, a packet longer than the answer's room is
            # refused before its body is read, and a compressed body expanded
            # within it.
            life: _t.Any = None if type(self) is Connection else getattr(self, "_call_life", None)
            room = None if life is None else life.room
            if room is not None and length > room:
                raise ProtocolError(_room_text(life.max_answer_bytes, length, room))
            body = self._sf.read(length)
            if len(body) != length:
                raise ProtocolError("incomplete body")
            try:
                if room is not None:
                    if cm != COMPRESSION_METHOD.NONE:
                        # (the codec's decompress, beyond what the module needs of
                        # the codec otherwise: looked up only here)
                        from vantrel.share.codec import decompress as _decompress
                        body, cm = _decompress(body, cm, room), COMPRESSION_METHOD.NONE
                    life.room = room - len(body)
                body = unpack_one(body, st, cm)
            except Exception as e:
                raise ProtocolError(repr(e))
            if mt == MSG_TYPE.ERROR:
                code, msg = body
                raise get_error(code)(msg)
            return (mt, body)
        return (mt, None)

    def _do_auth(self, auth: _t.Any) -> None:
        auth_body = pack_one(auth, MSG_TYPE.HANDSHAKE, DEFAULT_SERIALIZER_TYPE,
                             DEFAULT_COMPRESSION_METHOD, force_compress=True)
        self._socket.sendall(auth_body)
        msg_type, body = self._read_one_packet()
        if msg_type != MSG_TYPE.HANDSHAKE:
            raise ProtocolError("handshake message expected while {} received".format(MSG_TYPE[msg_type]))
        if body is not None:
            warnings.warn(body)

    def close(self) -> None:
        key = id(self)
        claim = [False]
        while True:
            mark = _calls_in_progress.setdefault(key, claim)
            if mark is claim:
                break
            # A call on another thread may be inside a read of the reader:
            # closing the reader under it would fail that read with the
            # reader's own errors.  Shut the socket down instead, which ends
            # the read at once; the call closes the reader and the socket as
            # it ends (_end_call).  If it ended meanwhile, perhaps before it
            # saw the flag, the mark is taken again: by this close(), or it
            # is that of a call begun since, which is asked the same way.
            mark[0] = True
            try:
                self._socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            if _calls_in_progress.get(key) is mark:
                return
        # The mark is close()'s while it closes: a call that begins meanwhile
        # is refused instead of reading from a reader being closed.
        try:
            self._sf.close()
            self._socket.close()
        finally:
            _calls_in_progress.pop(key, None)

    def execute(self, method: _t.Any, *args: _t.Any, **kwargs: _t.Any) -> _t.Any:
        # A connection with a call life (vantrel.connect's; the bare one has
        # none): its limit is the deadline of the whole call, and it says what
        # a failure becomes.
        life = _begin_call(self)
        ended = False
        limit = None if life is None else life.limit
        try:
            try:
                try:
                    packet = pack_one((method, args, kwargs), MSG_TYPE.REQUEST,
                                      DEFAULT_SERIALIZER_TYPE, DEFAULT_COMPRESSION_METHOD)
                except Exception as e:  # nothing was sent: the connection is as it was
                    # imported here, on the failure only: the module loads beside
                    # a codec module that has only what it needs
                    from vantrel.errors import encode_failed
                    failure = encode_failed(globals(), (method, args, kwargs), e)
                    if failure is e:
                        raise
                    raise failure from e
                sock = self._socket
                if limit is not None:
                    sock.deadline = _monotonic() + limit  # which the socket's reads honour
                try:
                    sock.sendall(packet)
                    msg_type, body = self._read_one_packet()
                    if msg_type == MSG_TYPE.RESPONSE:
                        return body
                    if msg_type != MSG_TYPE.STREAM_START:
                        raise ProtocolError("got {} when STREAM_START expected".format(MSG_TYPE[msg_type]))
                    msg_type, body = self._read_one_packet()
                    if msg_type == MSG_TYPE.STREAM_END:
                        return []
                    if msg_type == MSG_TYPE.TABLE:
                        return self.table_unpack(body)
                    if msg_type == MSG_TYPE.TABLE2:
                        return self.table2_unpack(body)
                    if msg_type == MSG_TYPE.FEED:
                        return self.feed_unpack(body)
                    raise ProtocolError("unexpected message in stream: {}".format(MSG_TYPE[msg_type]))
                except BaseException as e:
                    # A server error arrives in an ERROR packet that was read whole
                    # and ends the answer: the connection stays at a packet boundary.
                    if not isinstance(e, _ServerError):
                        _put_out_of_use(sock)
                    raise
                finally:
                    if limit is not None:
                        sock.deadline = None
            except Exception as e:
                ended = True
                if _end_call(self) and not isinstance(e, _ServerError):
                    raise ProtocolError(_CLOSED_DURING_CALL)
                raise
            finally:
                if not ended:
                    _end_call(self)
        except BaseException as e:
            if life is None or isinstance(e, _ServerError):
                raise
            failure = life.call_failed(self, e, method)
            if failure is e:
                raise
            raise failure from e

    def feed_unpack(self, first: _t.Any) -> _t.List[_t.Any]:
        ret = list(first)
        while True:
            msg_type, body = self._read_one_packet()
            if msg_type == MSG_TYPE.STREAM_END:
                return ret
            if msg_type == MSG_TYPE.FEED:
                ret.extend(body)
            else:
                raise ProtocolError("unexpected message in feed stream: {}".format(MSG_TYPE[msg_type]))

    def table_unpack(self, first: _t.Any) -> _t.List[_t.Dict[_t.Any, _t.Any]]:
        ret: _t.List[_t.Dict[_t.Any, _t.Any]] = []
        keys = first[0]
        for row in first[1:]:
            ret.append(dict(zip(keys, row)))
        while True:
            msg_type, body = self._read_one_packet()
            if msg_type == MSG_TYPE.STREAM_END:
                return ret
            if msg_type == MSG_TYPE.TABLE:
                for row in body:
                    ret.append(dict(zip(keys, row)))
            else:
                raise ProtocolError("unexpected message in table stream: {}".format(MSG_TYPE[msg_type]))

    def table2_unpack(self, first: _t.Any) -> _t.Tuple[_t.Any, _t.List[_t.Any]]:
        data: _t.List[_t.Any] = []
        head = first[0]
        for element in first[1:]:
            data.append(element)
        while True:
            msg_type, body = self._read_one_packet()
            if msg_type == MSG_TYPE.STREAM_END:
                return (head, data)
            if msg_type == MSG_TYPE.TABLE2:
                for element in body:
                    data.append(element)
            else:
                raise ProtocolError("unexpected message in table2 stream: {}".format(MSG_TYPE[msg_type]))


# The package's header check, run in this module's namespace: the protocol
# tables, unpack_header and ProtocolError are this module's globals, looked up
# at each use.
_split_header = _header_checker(globals())
