// vivudu._native.Writer and CollectionWriter: a segment's or a collection's
// writer session behind a mutex. Every call copies its arguments while it
// holds the interpreter lock, then releases the lock for the native work
// (waiting for the mutex included), so other Python threads run meanwhile
// and two calls on one writer never overlap. Both classes share the method
// bodies below, written once over the session type.
#include "writer_type.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "payload_conversion.hpp"
#include "segment/collection_writer.hpp"
#include "write_arguments.hpp"

namespace vivudu::native {

using dovadure::segment::CollectionWriter;
using dovadure::segment::PointRows;
using dovadure::segment::SegmentWriter;
using dovadure::segment::WriteError;

namespace {

// (live points, dimension, metric) of a session.
struct SessionInfo {
  size_t live = 0;
  size_t dim = 0;
  const char* metric = nullptr;
};
SessionInfo info_of(const SegmentWriter& w) {
  return {w.live_points(), w.segment().index().dim(), dovadure::segment::metric_keyword(w.segment().index().metric())};
}
SessionInfo info_of(const CollectionWriter& w) {
  return {w.live_points(), w.dim(), dovadure::segment::metric_keyword(w.manifest().metric)};
}

// Compaction counts as the Python layer gets them.
PyObject* compact_tuple(const SegmentWriter::CompactCounts& c) {
  return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(c.points), static_cast<Py_ssize_t>(c.payloads),
                       static_cast<Py_ssize_t>(c.purged));
}
PyObject* compact_tuple(const CollectionWriter::CompactCounts& c) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(c.segments), static_cast<Py_ssize_t>(c.purged));
}

template <class W>
struct WriterState {
  std::mutex mutex;
  std::unique_ptr<W> writer;
  // Set when a mutation failed partway (I/O, memory cap): the session's
  // memory may then be ahead of what a reload would give, so it takes no
  // more work.
  std::string failure;
};

template <class W>
struct WriterObject {
  PyObject_HEAD
  WriterState<W>* state;
};

template <class W>
WriterState<W>& state_of(PyObject* self) {
  return *reinterpret_cast<WriterObject<W>*>(self)->state;
}

// Runs `work(writer)` without the interpreter lock, under the writer's
// mutex. Returns false with an exception set when the writer is closed or
// failed, or when `work` reports an error.
template <class W, class Work>
bool run_locked(PyObject* self, Work&& work) {
  WriterState<W>& state = state_of<W>(self);
  WriteError error;
  bool has_error = false;
  bool closed = false;
  std::string failure;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    if (!state.writer) {
      closed = true;
    } else if (!state.failure.empty()) {
      failure = state.failure;
    } else {
      try {
        if (std::optional<WriteError> e = work(*state.writer)) {
          error = std::move(*e);
          has_error = true;
          if (error.kind == WriteError::Kind::Failed) state.failure = error.message;
        }
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
        state.failure = "out of memory";
      }
    }
  }
  Py_END_ALLOW_THREADS
  if (closed) {
    PyErr_SetString(PyExc_ValueError, "the writer is closed");
    return false;
  }
  if (!failure.empty()) {
    PyErr_SetString(PyExc_RuntimeError,
                    ("the writer failed earlier (" + failure + "); close it and open a new one").c_str());
    return false;
  }
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  if (has_error) {
    raise_write_error(error);
    return false;
  }
  return true;
}

// Makes the object around a session that `open(error)` starts without the
// interpreter lock.
template <class W, class Open>
PyObject* wrap_session(PyTypeObject* type, Open&& open) {
  auto* state = new (std::nothrow) WriterState<W>();
  if (state == nullptr) return PyErr_NoMemory();
  WriteError error;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    state->writer = open(error);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (!state->writer) {
    delete state;
    return out_of_memory ? PyErr_NoMemory() : raise_write_error(error);
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    delete state;
    return nullptr;
  }
  reinterpret_cast<WriterObject<W>*>(self)->state = state;
  return self;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "wait", nullptr};
  const char* path = nullptr;
  PyObject* wait_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO:Writer", const_cast<char**>(keywords), &path,
                                   &wait_obj)) {
    return nullptr;
  }
  std::chrono::milliseconds wait{};
  if (!convert_wait(wait_obj, wait)) return nullptr;
  const std::string segment_path = path;
  return wrap_session<SegmentWriter>(
      type, [&](WriteError& error) { return SegmentWriter::open(segment_path, wait, error); });
}

// CollectionWriter(dir, segment_max_points, wait, create): `create` is None
// to open an existing collection, or (metric, m, ef_construction,
// max_level, dim) to start a new one.
PyObject* collection_writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dir", "segment_max_points", "wait", "create", nullptr};
  const char* dir = nullptr;
  unsigned long long max_points = 0;
  PyObject* wait_obj = nullptr;
  PyObject* create_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sKOO:CollectionWriter", const_cast<char**>(keywords), &dir,
                                   &max_points, &wait_obj, &create_obj)) {
    return nullptr;
  }
  std::chrono::milliseconds wait{};
  if (!convert_wait(wait_obj, wait)) return nullptr;
  if (max_points == 0) {
    PyErr_SetString(PyExc_ValueError, "segment_max_points must be at least 1");
    return nullptr;
  }
  const std::string path = dir;
  if (create_obj == Py_None) {
    return wrap_session<CollectionWriter>(type, [&](WriteError& error) {
      return CollectionWriter::open(path, static_cast<size_t>(max_points), wait, error);
    });
  }
  dovadure::segment::CollectionSettings settings;
  const char* metric = nullptr;
  unsigned long long m = 0, ef = 0, max_level = 0, dim = 0;
  if (!PyArg_ParseTuple(create_obj, "sKKKK", &metric, &m, &ef, &max_level, &dim)) return nullptr;
  if (!parse_build_settings(metric, m, ef, max_level, settings.metric, settings.m, settings.ef_construction,
                            settings.max_level)) {
    return nullptr;
  }
  settings.dim = static_cast<size_t>(dim);
  return wrap_session<CollectionWriter>(type, [&](WriteError& error) {
    return CollectionWriter::create(path, settings, static_cast<size_t>(max_points), wait, error);
  });
}

template <class W>
void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  WriterState<W>* state = reinterpret_cast<WriterObject<W>*>(self)->state;
  if (state != nullptr) {
    // Dropping the session releases the segment lock and closes the log.
    Py_BEGIN_ALLOW_THREADS
    delete state;
    Py_END_ALLOW_THREADS
  }
  type->tp_free(self);
  Py_DECREF(type);
}

template <class W>
PyObject* writer_upsert(PyObject* self, PyObject* args) {
  PyObject* vectors = nullptr;
  PyObject* ids = nullptr;
  PyObject* payloads = nullptr;
  if (!PyArg_ParseTuple(args, "OOO:upsert", &vectors, &ids, &payloads)) return nullptr;
  PointRows rows;
  if (!convert_rows(vectors, ids, payloads, rows)) return nullptr;
  SegmentWriter::UpsertCounts counts;
  if (!run_locked<W>(self, [&](W& w) { return w.upsert(std::move(rows), counts); })) {
    return nullptr;
  }
  PyObject* id_bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(counts.ids.data()),
                                                 static_cast<Py_ssize_t>(counts.ids.size() * sizeof(uint64_t)));
  if (id_bytes == nullptr) return nullptr;
  return Py_BuildValue("(Nnnn)", id_bytes, static_cast<Py_ssize_t>(counts.inserted),
                       static_cast<Py_ssize_t>(counts.updated), static_cast<Py_ssize_t>(counts.unchanged));
}

template <class W>
PyObject* writer_delete(PyObject* self, PyObject* ids_obj) {
  std::vector<uint64_t> ids;
  if (!convert_ids(ids_obj, "ids", ids)) return nullptr;
  SegmentWriter::DeleteCounts counts;
  if (!run_locked<W>(self, [&](W& w) { return w.remove(ids, counts); })) return nullptr;
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(counts.deleted), static_cast<Py_ssize_t>(counts.absent));
}

PyObject* writer_set_payload(PyObject* self, PyObject* args) {
  unsigned long long id = 0;
  PyObject* payload_obj = nullptr;
  if (!PyArg_ParseTuple(args, "KO:set_payload", &id, &payload_obj)) return nullptr;
  std::optional<dovadure::utils::Payload> payload;
  if (!convert_payload(payload_obj, "payload", payload)) return nullptr;
  dovadure::utils::Payload value = payload ? std::move(*payload) : dovadure::utils::Payload();
  if (!run_locked<SegmentWriter>(self, [&](SegmentWriter& w) { return w.set_payload(id, std::move(value)); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

template <class W>
PyObject* writer_compact(PyObject* self, PyObject* purge_obj) {
  const int purge = PyObject_IsTrue(purge_obj);
  if (purge < 0) return nullptr;
  typename W::CompactCounts counts;
  if (!run_locked<W>(self, [&](W& w) { return w.compact(purge != 0, counts); })) return nullptr;
  return compact_tuple(counts);
}

template <class W>
PyObject* writer_close(PyObject* self, PyObject*) {
  WriterState<W>& state = state_of<W>(self);
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.writer.reset();
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// (live points, dimension, metric name), or ValueError once closed.
template <class W>
PyObject* writer_info(PyObject* self, PyObject*) {
  SessionInfo info;
  if (!run_locked<W>(self, [&](W& w) -> std::optional<WriteError> {
        info = info_of(w);
        return std::nullopt;
      })) {
    return nullptr;
  }
  return Py_BuildValue("(nns)", static_cast<Py_ssize_t>(info.live), static_cast<Py_ssize_t>(info.dim),
                       info.metric);
}

template <class W>
PyObject* writer_closed(PyObject* self, void*) {
  WriterState<W>& state = state_of<W>(self);
  bool closed = false;
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    closed = !state.writer;
  }
  Py_END_ALLOW_THREADS
  return PyBool_FromLong(closed);
}

#define VIVUDU_SESSION_METHODS(W)                                                                  \
  {"upsert", writer_upsert<W>, METH_VARARGS,                                                       \
   "upsert(vectors, ids, payloads) -> (ids bytes, inserted, updated, unchanged)"},                 \
      {"delete", writer_delete<W>, METH_O, "delete(ids) -> (deleted, absent)"},                    \
      {"compact", writer_compact<W>, METH_O, "compact(purge) -> counts"},                          \
      {"close", writer_close<W>, METH_NOARGS, "close()"},                                          \
      {"info", writer_info<W>, METH_NOARGS, "info() -> (live points, dim, metric)"}

PyMethodDef writer_methods[] = {
    VIVUDU_SESSION_METHODS(SegmentWriter),
    {"set_payload", writer_set_payload, METH_VARARGS, "set_payload(id, payload)"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef collection_writer_methods[] = {
    VIVUDU_SESSION_METHODS(CollectionWriter),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"closed", writer_closed<SegmentWriter>, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef collection_writer_getset[] = {
    {"closed", writer_closed<CollectionWriter>, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc<SegmentWriter>)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc, const_cast<char*>("Writer(path, wait): the native writer session behind vivudu.Writer.")},
    {0, nullptr},
};

PyType_Slot collection_writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(collection_writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc<CollectionWriter>)},
    {Py_tp_methods, collection_writer_methods},
    {Py_tp_getset, collection_writer_getset},
    {Py_tp_doc, const_cast<char*>("CollectionWriter(dir, segment_max_points, wait, create): the native "
                                  "session behind vivudu.CollectionWriter.")},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "vivudu._native.Writer", sizeof(WriterObject<SegmentWriter>), 0, Py_TPFLAGS_DEFAULT, writer_slots,
};

PyType_Spec collection_writer_spec = {
    "vivudu._native.CollectionWriter", sizeof(WriterObject<CollectionWriter>), 0, Py_TPFLAGS_DEFAULT,
    collection_writer_slots,
};

}  // namespace

PyObject* create_writer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &writer_spec, nullptr);
}

PyObject* create_collection_writer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &collection_writer_spec, nullptr);
}

}  // namespace vivudu::native
