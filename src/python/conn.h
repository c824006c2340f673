#pragma once
// Event-driven sockets for the package: see conn.cpp for both faces.
#include "python/pyref.h"

namespace velkor::py {

// connect_tcp(host, port, *, local_addr=None)
PyObject* connect_tcp(PyObject* module, PyObject* args, PyObject* kwargs);
// connect_unix(path)
PyObject* connect_unix(PyObject* module, PyObject* args, PyObject* kwargs);
// adopt_socket(fd, /)
PyObject* adopt_socket(PyObject* module, PyObject* fd);
// adopt_listener(fd, /)
PyObject* adopt_listener(PyObject* module, PyObject* fd);

PyTypeObject* connection_type();
PyTypeObject* net_listener_type();

// The awaitable face of a Connection object `conn`, for the stream type that
// wraps one: read(n), write(data), drain() and wait_closed().
PyObject* connection_read(PyObject* conn, PyObject* n);
// read(n) with the size already taken from its argument.
PyObject* connection_read_size(PyObject* conn, size_t n);
PyObject* connection_write(PyObject* conn, PyObject* data);
PyObject* connection_drain(PyObject* conn);
PyObject* connection_wait_closed(PyObject* conn);

}  // namespace velkor::py
