// The vorlane_rpc module: JSON-RPC answers from an EVM node decoded into the
// follower's values (vorlane.BlockSummary, Log, int), with the node's error
// objects as RpcError and malformed answers raised as DecodeError.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <string_view>

#include "classes.hpp"
#include "rpc_event.hpp"
#include "rpc_log.hpp"
#include "vorlane/rpc_decode.hpp"

namespace vorlane::py {
namespace {

namespace rpc = vorlane::rpc;

PyObject* g_decode_error = nullptr;  // vorlane_rpc.DecodeError
PyObject* g_rpc_error = nullptr;     // vorlane_rpc.RpcError

// ---------------------------------------------------------------------------
// RpcError
// ---------------------------------------------------------------------------

// RpcError(code, message, data=None): keeps its three values as attributes
// and as its args, so that it pickles like any exception.
int rpc_error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"code", "message", "data", nullptr};
    PyObject* code = nullptr;
    PyObject* message = nullptr;
    PyObject* data = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!U|O:RpcError", const_cast<char**>(keywords),
                                     &PyLong_Type, &code, &message, &data))
        return -1;
    if (data != Py_None && !PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "RpcError() argument 'data' must be str or None");
        return -1;
    }
    PyObject* all = PyTuple_Pack(3, code, message, data);
    if (!all) return -1;
    Py_XSETREF(reinterpret_cast<PyBaseExceptionObject*>(self)->args, all);
    if (PyObject_SetAttrString(self, "code", code) < 0 ||
        PyObject_SetAttrString(self, "message", message) < 0 ||
        PyObject_SetAttrString(self, "data", data) < 0)
        return -1;
    return 0;
}

// "{message} ({code})"
PyObject* rpc_error_str(PyObject* self) {
    PyObject* code = PyObject_GetAttrString(self, "code");
    if (!code) return nullptr;
    PyObject* message = PyObject_GetAttrString(self, "message");
    PyObject* text = message ? PyUnicode_FromFormat("%S (%S)", message, code) : nullptr;
    Py_XDECREF(message);
    Py_DECREF(code);
    return text;
}

PyType_Slot kRpcErrorSlots[] = {
    {Py_tp_doc, const_cast<char*>("The node answered a call with a JSON-RPC error object.")},
    {Py_tp_init, reinterpret_cast<void*>(&rpc_error_init)},
    {Py_tp_str, reinterpret_cast<void*>(&rpc_error_str)},
    {0, nullptr},
};
PyType_Spec kRpcErrorRecipe = {"vorlane_rpc.RpcError", 0, 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kRpcErrorSlots};

PyObject* new_rpc_error(const rpc::RpcError& e) {
    Ref code = Ref::steal(PyLong_FromLongLong(e.code));
    if (!code) throw_fetched();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(e.message.data(),
                                                  static_cast<Py_ssize_t>(e.message.size()),
                                                  "surrogateescape"));
    if (!message) throw_fetched();
    Ref data = e.data ? Ref::steal(PyUnicode_DecodeUTF8(e.data->data(),
                                                        static_cast<Py_ssize_t>(e.data->size()),
                                                        "surrogateescape"))
                      : Ref::steal(Py_NewRef(Py_None));
    if (!data) throw_fetched();
    PyObject* error = PyObject_CallFunctionObjArgs(g_rpc_error, code.get(), message.get(),
                                                   data.get(), nullptr);
    if (!error) throw_fetched();
    return error;
}

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

// A hex text in lower case ("0X" included): each character is a digit, a
// letter a-f/A-F or x/X, which or-ing in 0x20 lowers and leaves digits be.
PyObject* hex_str(std::string_view t) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127);
    if (!s) throw_fetched();
    auto* out = PyUnicode_1BYTE_DATA(s);
    for (std::size_t i = 0; i < t.size(); ++i)
        out[i] = static_cast<Py_UCS1>(static_cast<unsigned char>(t[i]) | 0x20);
    return s;
}

PyObject* to_int(std::uint64_t v) {
    PyObject* r = PyLong_FromUnsignedLongLong(v);
    if (!r) throw_fetched();
    return r;
}

// The same text as the previous log's often comes again (logs of one block,
// one transaction, one contract): the str made for it is shared.
struct Repeated {
    std::string_view text;
    Ref str;
    PyObject* get(std::string_view t) {
        if (!str || t != text) {
            str = Ref::steal(hex_str(t));
            text = t;
        }
        return Py_NewRef(str.get());
    }
};

PyObject* header_value(const rpc::Header& h) {
    BlockSummary record{h.number, std::string(h.hash), std::string(h.parent_hash), h.timestamp,
                        h.tx_count};
    for (std::string* text : {&record.hash, &record.parent_hash})
        for (char& c : *text) c = static_cast<char>(c | 0x20);
    Ref summary = Ref::steal(wrap(std::move(record), type_cell<BlockSummary>));
    Ref bloom = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(h.logs_bloom.data()),
        static_cast<Py_ssize_t>(h.logs_bloom.size())));
    if (!bloom) throw_fetched();
    PyObject* pair = PyTuple_Pack(2, summary.get(), bloom.get());
    if (!pair) throw_fetched();
    return pair;
}

PyObject* logs_value(const rpc::Answer& answer, const rpc::Entry& entry) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entry.logs_end - entry.logs_begin)));
    if (!list) throw_fetched();
    Repeated block_hash, transaction_hash, address, topic0;
    std::uint64_t number = 0;
    Ref number_int;
    for (std::size_t i = entry.logs_begin; i < entry.logs_end; ++i) {
        const rpc::Log& l = answer.logs[i];
        // Each field is owned here until the record takes them all.
        Ref hold[rpc_log::kFieldCount];
        hold[5] = Ref::steal(PyTuple_New(l.topic_count));
        if (!hold[5]) throw_fetched();
        for (std::size_t t = 0; t < l.topic_count; ++t)  // the event's signature repeats
            PyTuple_SET_ITEM(hold[5].get(), static_cast<Py_ssize_t>(t),
                             t == 0 ? topic0.get(l.topics[0]) : hex_str(l.topics[t]));
        if (!number_int || l.block_number != number) {  // so does the block
            number_int = Ref::steal(to_int(l.block_number));
            number = l.block_number;
        }
        hold[0] = Ref::steal(Py_NewRef(number_int.get()));
        hold[1] = Ref::steal(block_hash.get(l.block_hash));
        hold[2] = Ref::steal(transaction_hash.get(l.transaction_hash));
        hold[3] = Ref::steal(to_int(l.log_index));
        hold[4] = Ref::steal(address.get(l.address));
        hold[6] = Ref::steal(hex_str(l.data));
        Ref index = l.transaction_index ? Ref::steal(to_int(*l.transaction_index)) : Ref();
        PyObject* fields[rpc_log::kFieldCount];
        for (int k = 0; k < rpc_log::kFieldCount; ++k) fields[k] = hold[k].release();
        PyObject* record = rpc_log::make_log(fields, index.release());
        // Nothing but texts and ints inside: the record and its topics can be
        // in no reference cycle, so the collector need not visit them (a
        // batch of logs would otherwise trigger collections by the dozen).
        PyObject_GC_UnTrack(fields[5]);
        PyObject_GC_UnTrack(record);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - entry.logs_begin), record);
    }
    return list.release();
}

PyObject* entry_value(const rpc::Answer& answer, const rpc::Entry& entry) {
    switch (entry.state) {
        case rpc::Entry::State::null: return Py_NewRef(Py_None);
        case rpc::Entry::State::quantity: return to_int(entry.quantity);
        case rpc::Entry::State::header: return header_value(entry.header);
        case rpc::Entry::State::logs: return logs_value(answer, entry);
        case rpc::Entry::State::error: return new_rpc_error(entry.error);
    }
    throw Panic("unknown entry state");
}

// ---------------------------------------------------------------------------
// decode
// ---------------------------------------------------------------------------

// A decoder and its answer, kept between calls.  Each grows to the largest
// answer it has parsed (its padded copy and the parser's index, about five
// bytes per byte of answer) and stays that large.
struct Workspace {
    rpc::Decoder decoder;
    rpc::Answer answer;
    rpc::Failure failure;
    Workspace* next_idle = nullptr;
};

// The pool of workspaces.
//
// It and its workspaces are made on the heap and never freed: daemon threads
// may still be parsing, with the GIL released, while the exiting process runs
// the destructors of its static objects, so a parse must use nothing that one
// of those destructors frees.  Workspaces are made with the GIL held, which no
// thread holds by then (the decoder reads simdjson's statics as it is made).
//
// A call takes an idle workspace (the most recently used), makes one while
// there are fewer than CPUs, or else waits for one with the GIL released, and
// gives it back when done: there are never more workspaces than CPUs, as more
// parses at once would not run faster, and each one costs memory the size of
// the largest answer it has read.  A call made from a finalizer while its
// thread's own call holds a workspace gets a temporary one instead (waiting
// could be waiting for itself).
//
// The wait is pthread's own on the mutex's handle: std::condition_variable's
// wait is a libstdc++ symbol of a version (GCC 12's) newer than the binary
// wheels may require.
struct Pool {
    std::mutex lock;
    pthread_cond_t returned = PTHREAD_COND_INITIALIZER;
    Workspace* idle = nullptr;
    unsigned made = 0;
    const unsigned limit = std::max(1U, std::thread::hardware_concurrency());
};

Pool& pool() {
    static Pool* const all = new Pool;  // never destroyed: see above
    return *all;
}

thread_local bool t_holding = false;  // this thread's call holds a pooled workspace

// One workspace, held for a call.
class Lease {
public:
    Lease() {
        if (t_holding) {
            own_ = std::make_unique<Workspace>();
            w_ = own_.get();
            return;
        }
        Pool& all = pool();
        bool make = false;
        // The lock is never held while the GIL is waited for.
        std::unique_lock<std::mutex> hold(all.lock);
        if (!take(all, make)) {
            hold.unlock();
            ReleasedGil released;
            std::unique_lock<std::mutex> wait(all.lock);
            while (!take(all, make)) pthread_cond_wait(&all.returned, wait.mutex()->native_handle());
        } else {
            hold.unlock();
        }
        if (make) {
            try {
                w_ = new Workspace;
            } catch (...) {
                const std::lock_guard<std::mutex> undo(all.lock);
                --all.made;
                throw;
            }
        }
        t_holding = true;
    }
    ~Lease() {
        if (own_) return;
        t_holding = false;
        Pool& all = pool();
        {
            const std::lock_guard<std::mutex> hold(all.lock);
            w_->next_idle = all.idle;
            all.idle = w_;
        }
        pthread_cond_signal(&all.returned);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Workspace& operator*() const { return *w_; }

private:
    // An idle workspace, or leave to make one (`make`); false when neither.
    bool take(Pool& all, bool& make) {
        if ((w_ = all.idle)) {
            all.idle = w_->next_idle;
            return true;
        }
        if (all.made == all.limit) return false;
        ++all.made;
        make = true;
        return true;
    }

    Workspace* w_ = nullptr;
    std::unique_ptr<Workspace> own_;
};

// A bytes-like argument, held for the call.
class Buffer {
public:
    Buffer(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            throw Error(PyExc_TypeError, std::string("decode() argument '") + name +
                                             "' must be bytes, not " + Py_TYPE(obj)->tp_name);
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    std::string_view text() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// Parsing needs no interpreter: it runs with the GIL released (the body is
// held by its buffer view meanwhile), so that other threads go on while a
// large answer is read. Only the conversion to objects holds the GIL.
PyObject* decode_with(Workspace& w, std::string_view body, std::string_view kinds) {
    const std::span<const std::uint8_t> kind_bytes(
        reinterpret_cast<const std::uint8_t*>(kinds.data()), kinds.size());
    bool decoded = false;
    {
        ReleasedGil released;
        decoded = w.decoder.decode(body, kind_bytes, w.answer, w.failure);
    }
    if (!decoded) {
        if (w.failure.refused) {
            Ref error = Ref::steal(new_rpc_error(*w.failure.refused));
            PyErr_SetObject(g_rpc_error, error.get());
            throw_fetched();
        }
        throw Error(g_decode_error, w.failure.message);
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(w.answer.entries.size())));
    if (!list) throw_fetched();
    for (std::size_t i = 0; i < w.answer.entries.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        entry_value(w.answer, w.answer.entries[i]));
    return list.release();
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard([&]() -> PyObject* {
        if (nargs != 2)
            throw Error(PyExc_TypeError, "decode() takes exactly 2 arguments (" +
                                             std::to_string(nargs) + " given)");
        const Buffer body(args[0], "body");
        const Buffer kinds(args[1], "kinds");
        const Lease workspace;
        return decode_with(*workspace, body.text(), kinds.text());
    }, nullptr);
}

PyObject* encode_log_lines(PyObject* module, PyObject* logs) noexcept {
    return rpc_log::encode_log_lines(module, logs);
}

PyMethodDef kFunctions[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decode)), METH_FASTCALL,
     "decode(body, kinds, /)\n--\n\n"
     "Decodes the answer to a request of len(kinds) calls with ids 0..n-1, call i\n"
     "expecting the result kind kinds[i] (HEADER, LOGS or QUANTITY)."},
    {"select_logs",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rpc_log::select_logs)),
     METH_FASTCALL,
     "select_logs(logs, hashes, match_address, match_topic0, /)\n--\n\n"
     "The logs of blocks in hashes ({number: hash}) that carry that hash, each\n"
     "(number, log index) once, that both filter methods take, as\n"
     "(by_block, moved_at, doubtful): {number: [log, ...]} in log-index order,\n"
     "the lowest number whose logs carry another hash (or None), and the numbers\n"
     "with two different logs under one key (left out of by_block)."},
    {"encode_log_lines", &encode_log_lines, METH_O,
     "encode_log_lines(logs, /)\n--\n\n"
     "The JSON Lines of the given logs, one {\"type\": \"log\", ...} object a line."},
    {"_event_record",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rpc_event::event_record)),
     METH_FASTCALL, "The reconstructor of pickled event records."},
    {"_tuple_record",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rpc_event::tuple_record)),
     METH_FASTCALL, "The reconstructor of pickled tuple records."},
    {nullptr, nullptr, 0, nullptr},
};

// vorlane's BlockSummary, adopted rather than defined again.
const ClassDef kBlockSummary{kModule, "BlockSummary", nullptr, "",
                             sizeof(Instance<BlockSummary>), nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, {}};

void prepare() {
    adopt_type("vorlane", kBlockSummary, type_cell<BlockSummary>);
    rpc_log::log_type();
    rpc_event::decoder_type();
    if (!g_decode_error) {
        g_decode_error = PyErr_NewExceptionWithDoc(
            "vorlane_rpc.DecodeError", "A JSON-RPC answer that could not be decoded.",
            PyExc_ValueError, nullptr);
        if (!g_decode_error) throw_fetched();
    }
    if (!g_rpc_error) {
        Ref bases = Ref::steal(PyTuple_Pack(1, PyExc_Exception));
        if (!bases) throw_fetched();
        g_rpc_error = PyType_FromSpecWithBases(&kRpcErrorRecipe, bases.get());
        if (!g_rpc_error) throw_fetched();
    }
}

ModuleDef g_module{
    PyModuleDef{PyModuleDef_HEAD_INIT, "vorlane_rpc", "", 0, kFunctions, nullptr, nullptr,
                nullptr, nullptr},
    {}, &prepare};

PyObject* init() {
    Ref module = Ref::steal(init_module(g_module));
    if (!module) throw_fetched();
    PyObject* m = module.get();
    if (PyObject_HasAttrString(m, "__all__")) return module.release();
    const auto add = [&](const char* name, PyObject* value) {
        Ref owned = Ref::steal(value);
        if (!owned || PyModule_AddObjectRef(m, name, owned.get()) < 0) throw_fetched();
    };
    add("HEADER", PyLong_FromLong(static_cast<long>(rpc::Kind::header)));
    add("LOGS", PyLong_FromLong(static_cast<long>(rpc::Kind::logs)));
    add("QUANTITY", PyLong_FromLong(static_cast<long>(rpc::Kind::quantity)));
    add("Log", Py_NewRef(reinterpret_cast<PyObject*>(rpc_log::log_type())));
    add("RpcError", Py_NewRef(g_rpc_error));
    add("DecodeError", Py_NewRef(g_decode_error));
    add("EventDecoder", Py_NewRef(reinterpret_cast<PyObject*>(rpc_event::decoder_type())));
    add("__all__", Py_BuildValue("[ssssssssss]", "HEADER", "LOGS", "QUANTITY", "Log", "RpcError",
                                 "DecodeError", "decode", "select_logs", "encode_log_lines",
                                 "EventDecoder"));
    return module.release();
}

}  // namespace
}  // namespace vorlane::py

PyMODINIT_FUNC PyInit_vorlane_rpc() {
    return vorlane::py::guard([] { return vorlane::py::init(); }, static_cast<PyObject*>(nullptr));
}
