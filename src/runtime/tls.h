#pragma once
// Thread-locals read on every task step or socket operation.
//
// The module is a shared object: there, a thread_local of the default model
// costs a call to __tls_get_addr on every access. The initial-exec model
// reads it at a fixed offset from the thread pointer instead. The C library
// keeps only a small surplus of static TLS for libraries loaded at run time,
// so this is for small variables only (pointers, flags, counters), never for
// buffers: a buffer is reached through a pointer marked so.
#define VELKOR_HOT_TLS __attribute__((tls_model("initial-exec")))
