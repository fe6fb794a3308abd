// What a trace path may name: a file on a disk. A device (COM1, LPT1, NUL, \\.\Drelvan_0)
// or a pipe would take the trace's lines somewhere else, a receipt printer on a serial port
// or another program, and a write to one can block its caller for ever. Shared by the
// library and the service tool, so both refuse the same paths.
#ifndef TEVRO_COMMON_TRACE_PATH_H
#define TEVRO_COMMON_TRACE_PATH_H

// Null when 'path' may name a file on a disk; otherwise why not, as a phrase that follows
// the path ("names a device", ...). The path is not opened: this looks at its text.
const char* TracePathProblem(const char* path);

#endif  // TEVRO_COMMON_TRACE_PATH_H
