// vorlane_rpc's Log class: an immutable record of one log, made by the
// decoder and by Python code alike, and the JSON Lines writer for logs.
#pragma once

#include <string>

#include "binding.hpp"

namespace vorlane::py::rpc_log {

inline constexpr int kFieldCount = 7;

// Seven object fields, in the constructor's order: block_number,
// block_hash, transaction_hash, log_index, address, topics, data; and the
// transaction index, which takes no part in equality, hashing or repr.
struct LogObject {
    PyObject_HEAD
    PyObject* fields[kFieldCount];
    PyObject* transaction_index;  // an exact int or Py_None, never null
};

// Creates the type (once).  Returns a borrowed reference.
PyTypeObject* log_type();

// Whether `o` is a Log.
inline bool is_log(PyObject* o) { return PyObject_TypeCheck(o, log_type()) != 0; }

// The transaction index of a Log (is_log(log)): a borrowed exact int, or
// Py_None when the node sent none.  It is never cleared while the log lives
// (an int cannot be part of a reference cycle), so it is never null.
inline PyObject* transaction_index(PyObject* log) {
    return reinterpret_cast<LogObject*>(log)->transaction_index;
}

// A new Log owning the seven given references (all non-null) and
// `transaction_index` (an exact int, or null for None).  Returns a new
// reference; on failure the references are released and a fault is thrown.
PyObject* make_log(PyObject* (&fields)[kFieldCount], PyObject* transaction_index = nullptr);

// select_logs(logs, hashes, match_address, match_topic0) ->
// (by_block, moved_at, doubtful): the logs of a list whose block number maps
// to their block hash in `hashes`, each (number, log index) once, that both
// filter methods take, as {number: [log, ...]} in log-index order; the
// lowest number whose logs carry another hash (or None); the numbers under
// which two different logs share a key (left out of by_block).
PyObject* select_logs(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Appends one log's line, as encode_log_lines writes it (ending in "}\n"):
// a Log's own fields, or any object's attributes of the same names.  False
// with an error set on failure.
bool append_log_line(std::string& out, PyObject* log);

// encode_log_lines(logs) -> bytes.
PyObject* encode_log_lines(PyObject* module, PyObject* logs) noexcept;

}  // namespace vorlane::py::rpc_log
