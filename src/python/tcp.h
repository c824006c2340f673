#pragma once
#include "python/pyref.h"

namespace velkor::py {

// open_connection(host, port)
PyObject* open_connection(PyObject* module, PyObject* args, PyObject* kwargs);
// start_server(_handler, host, port)
PyObject* start_server(PyObject* module, PyObject* args, PyObject* kwargs);

PyTypeObject* tcp_stream_type();
PyTypeObject* tcp_listener_type();

}  // namespace velkor::py
