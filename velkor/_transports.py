"""Stream transports and listening sockets of `velkor.EventLoop` on the engine's
own event-driven connections (`_velkor.Connection` and `_velkor.Listener`).

A `NativeTransport` hands its connection the protocol's callbacks, so reading,
sending, buffering and flow control run in the engine: `data_received` gets
a bytes object of exactly what was received, a `BufferedProtocol` has the kernel
write straight into the buffer its `get_buffer` returns, and `write` sends
from the caller's buffer, copying only what the kernel does not take.

The transport keeps asyncio's contract (callback order, closing, flow
control, error reporting through the loop's exception handler), so asyncio's
`Server`, `sslproto`, streams and sendfile fallback work on top of it
unchanged. A socket the engine does not take keeps asyncio's own transport.
"""

from __future__ import annotations

import asyncio
import errno
import logging
import os
import socket
import ssl
from asyncio import base_events, constants, futures, protocols, sslproto, transports, trsock
from typing import Any, Callable, TypeAlias

import _velkor

# A velkor.event_loop.EventLoop and an asyncio Server: this module reaches
# their asyncio internals (_transports, _attach, ...), which the type stubs
# do not declare.
EventLoop: TypeAlias = Any
Server: TypeAlias = Any

logger = logging.getLogger("asyncio")

_STREAM_FAMILIES = (socket.AF_INET, socket.AF_INET6, socket.AF_UNIX)


class NativeTransport(transports._FlowControlMixin, transports.Transport):
    """An asyncio stream transport whose socket lives on the engine's epoll."""

    _start_tls_compatible = True
    _sendfile_compatible = constants._SendfileMode.TRY_NATIVE

    def __init__(self, loop: EventLoop, conn: Any, protocol: asyncio.BaseProtocol,
                 sock: socket.socket | None = None, waiter: asyncio.Future[None] | None = None,
                 extra: dict[str, Any] | None = None, server: Server | None = None):
        super().__init__(extra, loop)
        self._extra_info: dict[str, Any] = self._extra  # type: ignore[attr-defined]
        self._loop: EventLoop | None = loop
        self._conn = conn
        if type(self).write is NativeTransport.write:
            # write() as one native call; a refused write still goes to _write_refused
            self.write = conn._sender(self._write_refused)  # type: ignore[method-assign]
        self._sock = sock
        self._closing = False
        self._paused = False  # pause_reading() was called
        self._eof = False  # write_eof() was called
        self._conn_lost = 0  # writes refused since the connection went
        self._lost_exc: BaseException | None = None  # what _force_close was told
        self._protocol_paused = False  # pause_writing() was called, resume not yet
        self._server = server
        self._extra_info.setdefault("sockname", self._address(conn.getsockname))
        if self._extra_info.get("peername") is None:
            self._extra_info["peername"] = self._address(conn.getpeername)
        if sock is not None:
            self._extra_info["socket"] = trsock.TransportSocket(sock)
            loop._transports[sock.fileno()] = self
        self._protocol = protocol
        self._hand_over(protocol, reading=False)
        loop._native_transports.add(self)
        if server is not None:
            server._attach(self)
        # Reading starts only once connection_made() has run, as asyncio's do.
        loop.call_soon(protocol.connection_made, self)
        loop.call_soon(self._begin_reading)
        if waiter is not None:
            loop.call_soon(futures._set_result_unless_cancelled, waiter, None)  # type: ignore[attr-defined]

    @staticmethod
    def _address(query: Callable[[], Any]) -> Any:
        try:
            return query()
        except OSError:
            return None

    def _hand_over(self, protocol: asyncio.BaseProtocol, reading: bool) -> None:
        # The protocol's own receive methods go to the engine: no Python frame
        # between the socket and the protocol.
        receive: dict[str, Any]
        if isinstance(protocol, protocols.BufferedProtocol):
            receive = {"data_received": None, "get_buffer": protocol.get_buffer,
                       "buffer_updated": protocol.buffer_updated}
        else:
            receive = {"data_received": getattr(protocol, "data_received")}
        self._conn.start(eof_received=self._eof_received, connection_lost=self._connection_lost,
                         pause_writing=self._pause_protocol, resume_writing=self._resume_protocol,
                         on_fail=self._callback_failed, reading=reading, **receive)

    def __repr__(self) -> str:
        state = "closed" if self._loop is None else "closing" if self._closing else "open"
        fd = self._conn.fileno()
        return f"<{self.__class__.__name__} {state} fd={fd} bufsize={self.get_write_buffer_size()}>"

    # ---- protocol --------------------------------------------------------------

    def set_protocol(self, protocol: asyncio.BaseProtocol) -> None:
        self._protocol = protocol
        if self._loop is None:
            return
        try:
            self._hand_over(protocol, reading=self.is_reading())
        except OSError:
            pass  # already closed: connection_lost reaches the new protocol anyway

    def get_protocol(self) -> asyncio.BaseProtocol:
        return self._protocol

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        if name == "socket" and "socket" not in self._extra_info:
            self._make_socket()
        return self._extra_info.get(name, default)

    def _make_socket(self) -> None:
        # A connection accepted by the engine has no socket object until one
        # is asked for: a duplicate of its descriptor, closed with the transport.
        fd = self._conn.fileno()
        if fd < 0 or self._loop is None:
            return
        self._sock = socket.socket(fileno=os.dup(fd))
        self._extra_info["socket"] = trsock.TransportSocket(self._sock)
        self._loop._transports[self._sock.fileno()] = self

    # ---- reading ---------------------------------------------------------------

    @property
    def _read_ready_cb(self) -> Callable[..., object] | None:
        # asyncio's socket transports keep the protocol's receive handler here
        # and clear it on close(); code written against them reads it to tell
        # a closed transport. The engine calls the protocol's own methods.
        if self._closing:
            return None
        protocol = self._protocol
        if isinstance(protocol, protocols.BufferedProtocol):
            return protocol.buffer_updated
        return getattr(protocol, "data_received")  # type: ignore[no-any-return]

    def is_reading(self) -> bool:
        return not self._closing and not self._paused

    def pause_reading(self) -> None:
        if self._closing or self._paused:
            return
        self._paused = True
        self._conn.pause_reading()

    def resume_reading(self) -> None:
        if self._closing or not self._paused:
            return
        self._paused = False
        self._conn.resume_reading()

    def _begin_reading(self) -> None:
        if self.is_reading():
            self._conn.resume_reading()

    def _eof_received(self) -> None:
        # An exception here is the engine's to report (on_fail) and abort on.
        if self._loop is not None and self._loop.get_debug():
            logger.debug("%r received EOF", self)
        if not self._protocol.eof_received():  # type: ignore[attr-defined]
            self.close()

    # ---- writing ---------------------------------------------------------------

    def write(self, data: bytes | bytearray | memoryview) -> None:
        try:
            self._conn.send(data)
        except OSError as exc:
            self._write_refused(exc, data)

    def writelines(self, list_of_data: Any) -> None:
        if self._eof:
            raise RuntimeError("Cannot call writelines() after write_eof()")
        for data in list_of_data:
            self.write(data)

    def _write_refused(self, exc: OSError, data: bytes | bytearray | memoryview) -> None:
        if self._eof:
            raise RuntimeError("Cannot call write() after write_eof()") from None
        if not data:
            return
        if self._closing:
            # asyncio's rule: writes after the connection went are dropped with a warning
            if self._conn_lost >= constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES:
                logger.warning("socket.send() raised exception.")
            self._conn_lost += 1
            return
        self._fatal_error(exc, "Fatal write error on socket transport")

    def write_eof(self) -> None:
        if self._closing or self._eof:
            return
        self._eof = True
        try:
            self._conn.write_eof()
        except OSError as exc:
            self._fatal_error(exc, "Fatal error on write_eof")

    def can_write_eof(self) -> bool:
        return True

    def get_write_buffer_size(self) -> int:
        size: int = self._conn.get_write_buffer_size()
        return size

    def get_write_buffer_limits(self) -> tuple[int, int]:
        limits: tuple[int, int] = self._conn.get_write_buffer_limits()
        return limits

    def set_write_buffer_limits(self, high: int | None = None, low: int | None = None) -> None:
        self._conn.set_write_buffer_limits(high, low)

    def _pause_protocol(self) -> None:
        self._flow("pause_writing", True)

    def _resume_protocol(self) -> None:
        self._flow("resume_writing", False)

    def _flow(self, name: str, paused: bool) -> None:
        # Called from inside write() (pause) or by the engine after a flush (resume).
        if self._protocol_paused == paused or self._loop is None:
            return
        self._protocol_paused = paused
        try:
            getattr(self._protocol, name)()
        except (SystemExit, KeyboardInterrupt) as exc:
            self._loop._stop_with(exc)
        except BaseException as exc:
            self._loop.call_exception_handler({
                "message": f"protocol.{name}() failed", "exception": exc,
                "transport": self, "protocol": self._protocol})

    # ---- closing ---------------------------------------------------------------

    def is_closing(self) -> bool:
        return self._closing

    def close(self) -> None:
        if self._closing:
            return
        self._closing = True
        self._conn.close()  # connection_lost(None) follows the flush

    def abort(self) -> None:
        self._force_close(None)

    def _force_close(self, exc: BaseException | None) -> None:
        if self._loop is None:
            return
        self._closing = True
        if self._lost_exc is None:
            self._lost_exc = exc
        self._conn.abort()

    def _fatal_error(self, exc: BaseException, message: str = "Fatal error on transport") -> None:
        loop = self._loop
        if loop is None:
            return
        if not isinstance(exc, OSError):
            loop.call_exception_handler({"message": message, "exception": exc,
                                         "transport": self, "protocol": self._protocol})
        elif loop.get_debug():
            logger.debug("%r: %s", self, message, exc_info=True)
        self._force_close(exc)

    def _callback_failed(self, exc: BaseException, callback: str) -> None:
        # The engine aborts the connection right after, and connection_lost gets exc.
        if isinstance(exc, (SystemExit, KeyboardInterrupt)):
            if self._loop is not None:
                self._loop._stop_with(exc)
            return
        self._fatal_error(exc, f"Fatal error: protocol.{callback}() call failed.")

    def _connection_lost(self, exc: BaseException | None) -> None:
        # Once, from a ready callback, after the engine closed its descriptor.
        loop, protocol = self._loop, self._protocol
        if loop is None:
            return
        self._closing = True
        self._conn_lost += 1
        if exc is None:
            exc = self._lost_exc
        try:
            protocol.connection_lost(exc)  # type: ignore[arg-type]
        except (SystemExit, KeyboardInterrupt) as err:
            loop._stop_with(err)
        except BaseException as err:
            loop.call_exception_handler({
                "message": f"Exception in callback {protocol.connection_lost!r}",
                "exception": err, "transport": self, "protocol": protocol})
        finally:
            self._release()

    def _release(self) -> None:
        self._loop = None
        self._lost_exc = None
        # The native write() refers back to this transport: without it, a
        # closed transport (and its protocol) is freed as soon as it is dropped.
        self.__dict__.pop("write", None)
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        server, self._server = self._server, None
        if server is not None:
            server._detach(self)


def _sendfile_in_progress(data: Any) -> None:
    raise RuntimeError("unable to write; sendfile is in progress")


async def sendfile(loop: EventLoop, transport: NativeTransport, file: Any, offset: int,
                   count: int | None) -> int:
    """os.sendfile() on the transport's socket once its buffer is empty; reading
    rests meanwhile, as asyncio's transports do."""
    transport.get_extra_info("socket")  # makes the socket object if there is none yet
    raw = transport._sock
    if raw is None:
        raise ConnectionError("Connection is closed")
    resume_reading = transport.is_reading()
    transport.pause_reading()
    del loop._transports[raw.fileno()]  # sock_sendfile watches that descriptor
    own_write = transport.__dict__.pop("write", None)
    transport.write = _sendfile_in_progress  # type: ignore[method-assign]
    try:
        # Rarely more than a flush away: the engine flushes as the peer reads.
        while transport.get_write_buffer_size():
            if transport.is_closing():
                raise ConnectionError("Connection is closed by peer")
            await asyncio.sleep(0.001)
        sent: int = await loop.sock_sendfile(raw, file, offset, count, fallback=False)
        return sent
    finally:
        del transport.write
        if own_write is not None and transport._loop is not None:  # not released meanwhile
            transport.write = own_write  # type: ignore[method-assign]
        loop._transports[raw.fileno()] = transport
        if resume_reading:
            transport.resume_reading()


def release_all(loop: EventLoop) -> None:
    """Lets go of every descriptor the loop's engine still holds for transports
    and servers, as the collector would for asyncio's own when a loop closes:
    the engine's callbacks hold these objects where the collector cannot see."""
    for transport in list(loop._native_transports):
        transport._conn.abort()  # connection_lost never runs: the loop is closing
        transport._release()
    for serving in loop._listeners.values():
        serving.close()
    loop._listeners.clear()


# ---- making transports ------------------------------------------------------------

def _adopt(sock: socket.socket) -> Any:
    """An engine connection on a duplicate of `sock`'s descriptor, or None when
    the engine does not take this socket."""
    if sock.type != socket.SOCK_STREAM or sock.family not in _STREAM_FAMILIES:
        return None
    try:
        return _adopt_fd(_velkor.adopt_socket, sock)
    except (OSError, RuntimeError):
        return None


def _adopt_fd(adopt: Callable[[int], Any], sock: socket.socket) -> Any:
    """adopt(duplicate of sock's descriptor); the duplicate is closed on failure."""
    fd = os.dup(sock.fileno())
    try:
        return adopt(fd)
    except BaseException as exc:
        if getattr(exc, "errno", None) != errno.EBADF:  # EBADF: adopt closed it already
            os.close(fd)
        raise


def socket_transport(loop: EventLoop, sock: socket.socket, protocol: asyncio.BaseProtocol,
                     waiter: asyncio.Future[None] | None, extra: dict[str, Any] | None,
                     server: Server | None) -> NativeTransport | None:
    conn = _adopt(sock)
    if conn is None:
        return None
    if sock.family != socket.AF_UNIX:
        base_events._set_nodelay(sock)  # type: ignore[attr-defined]
    return NativeTransport(loop, conn, protocol, sock, waiter, extra, server)


def tls_over_socket(loop: EventLoop, rawsock: socket.socket, protocol: asyncio.BaseProtocol,
                    sslcontext: ssl.SSLContext, waiter: asyncio.Future[None] | None, *,
                    server_side: bool = False, server_hostname: str | None = None,
                    extra: dict[str, Any] | None = None, server: Server | None = None,
                    ssl_handshake_timeout: float | None = constants.SSL_HANDSHAKE_TIMEOUT,
                    ssl_shutdown_timeout: float | None = constants.SSL_SHUTDOWN_TIMEOUT,
                    ) -> transports.Transport | None:
    """asyncio's TLS protocol over a native transport on `rawsock`, or None."""
    conn = _adopt(rawsock)
    if conn is None:
        return None
    if rawsock.family != socket.AF_UNIX:
        base_events._set_nodelay(rawsock)  # type: ignore[attr-defined]
    return ssl_transport(loop, conn, rawsock, protocol, sslcontext, waiter,
                         server_side=server_side, server_hostname=server_hostname, extra=extra,
                         server=server, ssl_handshake_timeout=ssl_handshake_timeout,
                         ssl_shutdown_timeout=ssl_shutdown_timeout)


def ssl_transport(loop: EventLoop, conn: Any, sock: socket.socket | None,
                  protocol: asyncio.BaseProtocol, sslcontext: ssl.SSLContext,
                  waiter: asyncio.Future[None] | None, *, server_side: bool,
                  server_hostname: str | None, extra: dict[str, Any] | None,
                  server: Server | None, ssl_handshake_timeout: float | None,
                  ssl_shutdown_timeout: float | None) -> transports.Transport:
    ssl_protocol = sslproto.SSLProtocol(
        loop, protocol, sslcontext, waiter, server_side, server_hostname,  # type: ignore[arg-type]
        ssl_handshake_timeout=ssl_handshake_timeout,  # type: ignore[arg-type]
        ssl_shutdown_timeout=ssl_shutdown_timeout)
    NativeTransport(loop, conn, ssl_protocol, sock, None, extra, server)
    app: transports.Transport = ssl_protocol._app_transport
    return app


class Serving:
    """A listening socket whose connections the engine accepts."""

    def __init__(self, loop: EventLoop, protocol_factory: Callable[[], asyncio.BaseProtocol],
                 sock: socket.socket, sslcontext: ssl.SSLContext | None,
                 server: Server | None, ssl_handshake_timeout: float | None,
                 ssl_shutdown_timeout: float | None):
        self._loop = loop
        self._factory = protocol_factory
        self._sock = sock
        self._sslcontext = sslcontext
        self._server = server
        self._timeouts = (ssl_handshake_timeout, ssl_shutdown_timeout)
        self.listener = _adopt_fd(_velkor.adopt_listener, sock)
        self.listener.start(self._accepted, self._accept_failed)

    def close(self) -> None:
        self.listener.close()

    def _accepted(self, conn: Any) -> None:
        loop = self._loop
        protocol = None
        try:
            protocol = self._factory()
            if self._sslcontext:
                self._accept_tls(conn, protocol, self._sslcontext)
            else:
                NativeTransport(loop, conn, protocol, server=self._server)
        except (SystemExit, KeyboardInterrupt) as exc:
            conn.abort()
            loop._stop_with(exc)
        except BaseException as exc:
            conn.abort()
            if loop.get_debug():
                context: dict[str, Any] = {
                    "message": "Error on transport creation for incoming connection",
                    "exception": exc}
                if protocol is not None:
                    context["protocol"] = protocol
                loop.call_exception_handler(context)

    def _accept_tls(self, conn: Any, protocol: asyncio.BaseProtocol,
                    sslcontext: ssl.SSLContext) -> None:
        loop = self._loop
        waiter: asyncio.Future[None] = loop.create_future()
        transport = ssl_transport(
            loop, conn, None, protocol, sslcontext, waiter, server_side=True,
            server_hostname=None, extra=None, server=self._server,
            ssl_handshake_timeout=self._timeouts[0], ssl_shutdown_timeout=self._timeouts[1])
        loop.create_task(_handshake(loop, waiter, transport, protocol))

    def _accept_failed(self, exc: OSError) -> None:
        # The engine rests accepting for a second after this.
        self._loop.call_exception_handler({
            "message": "socket.accept() out of system resource",
            "exception": exc, "socket": trsock.TransportSocket(self._sock)})


async def _handshake(loop: EventLoop, waiter: asyncio.Future[None],
                     transport: transports.Transport, protocol: asyncio.BaseProtocol) -> None:
    try:
        await waiter
    except (SystemExit, KeyboardInterrupt):
        raise
    except BaseException as exc:
        transport.close()
        if loop.get_debug():
            loop.call_exception_handler({
                "message": "Error on transport creation for incoming connection",
                "exception": exc, "protocol": protocol, "transport": transport})
