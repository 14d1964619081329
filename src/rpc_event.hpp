// vorlane_rpc.EventDecoder: logs decoded against event ABIs into immutable
// typed records (one class per event, interned by the event's description),
// or into JSON Lines, natively from the Log's hex text.
#pragma once

#include "binding.hpp"

namespace vorlane::py::rpc_event {

// Creates the EventDecoder type (once).  Returns a borrowed reference.
PyTypeObject* decoder_type();

// _event_record(fragment, checksum_addresses, topic0, fields) -> record:
// the reconstructor records pickle to (fields: arguments, then the log's).
PyObject* event_record(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// _tuple_record(name, components, fields) -> record of a named tuple type.
PyObject* tuple_record(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace vorlane::py::rpc_event
