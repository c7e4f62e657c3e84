// vivudu._native.Writer: a segment writer session behind a mutex. Every call
// copies its arguments while it holds the interpreter lock, then releases
// the lock for the native work (waiting for the mutex included), so other
// Python threads run meanwhile and two calls on one writer never overlap.
#include "writer_type.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "payload_conversion.hpp"
#include "write_arguments.hpp"

namespace vivudu::native {

using dovadure::segment::PointRows;
using dovadure::segment::SegmentWriter;
using dovadure::segment::WriteError;

namespace {

struct WriterState {
  std::mutex mutex;
  std::unique_ptr<SegmentWriter> writer;
  // Set when a mutation failed partway (I/O, memory cap): the session's
  // memory may then be ahead of what a reload would give, so it takes no
  // more work.
  std::string failure;
};

struct WriterObject {
  PyObject_HEAD
  WriterState* state;
};

WriterState& state_of(PyObject* self) { return *reinterpret_cast<WriterObject*>(self)->state; }

// Runs `work(writer)` without the interpreter lock, under the writer's
// mutex. Returns false with an exception set when the writer is closed or
// failed, or when `work` reports an error.
template <class Work>
bool run_locked(PyObject* self, Work&& work) {
  WriterState& state = state_of(self);
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
  auto* state = new (std::nothrow) WriterState();
  if (state == nullptr) return PyErr_NoMemory();
  const std::string segment_path = path;
  WriteError error;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    state->writer = SegmentWriter::open(segment_path, wait, error);
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
  reinterpret_cast<WriterObject*>(self)->state = state;
  return self;
}

void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  WriterState* state = reinterpret_cast<WriterObject*>(self)->state;
  if (state != nullptr) {
    // Dropping the session releases the segment lock and closes the log.
    Py_BEGIN_ALLOW_THREADS
    delete state;
    Py_END_ALLOW_THREADS
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* writer_upsert(PyObject* self, PyObject* args) {
  PyObject* vectors = nullptr;
  PyObject* ids = nullptr;
  PyObject* payloads = nullptr;
  if (!PyArg_ParseTuple(args, "OOO:upsert", &vectors, &ids, &payloads)) return nullptr;
  PointRows rows;
  if (!convert_rows(vectors, ids, payloads, rows)) return nullptr;
  SegmentWriter::UpsertCounts counts;
  if (!run_locked(self, [&](SegmentWriter& w) { return w.upsert(std::move(rows), counts); })) {
    return nullptr;
  }
  PyObject* id_bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(counts.ids.data()),
                                                 static_cast<Py_ssize_t>(counts.ids.size() * sizeof(uint64_t)));
  if (id_bytes == nullptr) return nullptr;
  return Py_BuildValue("(Nnnn)", id_bytes, static_cast<Py_ssize_t>(counts.inserted),
                       static_cast<Py_ssize_t>(counts.updated), static_cast<Py_ssize_t>(counts.unchanged));
}

PyObject* writer_delete(PyObject* self, PyObject* ids_obj) {
  std::vector<uint64_t> ids;
  if (!convert_ids(ids_obj, "ids", ids)) return nullptr;
  SegmentWriter::DeleteCounts counts;
  if (!run_locked(self, [&](SegmentWriter& w) { return w.remove(ids, counts); })) return nullptr;
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(counts.deleted), static_cast<Py_ssize_t>(counts.absent));
}

PyObject* writer_set_payload(PyObject* self, PyObject* args) {
  unsigned long long id = 0;
  PyObject* payload_obj = nullptr;
  if (!PyArg_ParseTuple(args, "KO:set_payload", &id, &payload_obj)) return nullptr;
  std::optional<dovadure::utils::Payload> payload;
  if (!convert_payload(payload_obj, "payload", payload)) return nullptr;
  dovadure::utils::Payload value = payload ? std::move(*payload) : dovadure::utils::Payload();
  if (!run_locked(self, [&](SegmentWriter& w) { return w.set_payload(id, std::move(value)); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* writer_compact(PyObject* self, PyObject* purge_obj) {
  const int purge = PyObject_IsTrue(purge_obj);
  if (purge < 0) return nullptr;
  SegmentWriter::CompactCounts counts;
  if (!run_locked(self, [&](SegmentWriter& w) { return w.compact(purge != 0, counts); })) return nullptr;
  return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(counts.points),
                       static_cast<Py_ssize_t>(counts.payloads), static_cast<Py_ssize_t>(counts.purged));
}

PyObject* writer_close(PyObject* self, PyObject*) {
  WriterState& state = state_of(self);
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    state.writer.reset();
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// (live points, dimension, metric name), or ValueError once closed.
PyObject* writer_info(PyObject* self, PyObject*) {
  size_t live = 0, dim = 0;
  const char* metric = nullptr;
  if (!run_locked(self, [&](SegmentWriter& w) -> std::optional<WriteError> {
        live = w.live_points();
        dim = w.segment().index().dim();
        switch (w.segment().index().metric()) {
          case dovadure::utils::DistanceMetric::Cosine: metric = "cosine"; break;
          case dovadure::utils::DistanceMetric::Dot: metric = "dot"; break;
          case dovadure::utils::DistanceMetric::Euclidean: metric = "euclidean"; break;
        }
        return std::nullopt;
      })) {
    return nullptr;
  }
  return Py_BuildValue("(nns)", static_cast<Py_ssize_t>(live), static_cast<Py_ssize_t>(dim), metric);
}

PyObject* writer_closed(PyObject* self, void*) {
  WriterState& state = state_of(self);
  bool closed = false;
  Py_BEGIN_ALLOW_THREADS
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    closed = !state.writer;
  }
  Py_END_ALLOW_THREADS
  return PyBool_FromLong(closed);
}

PyMethodDef writer_methods[] = {
    {"upsert", writer_upsert, METH_VARARGS,
     "upsert(vectors, ids, payloads) -> (ids bytes, inserted, updated, unchanged)"},
    {"delete", writer_delete, METH_O, "delete(ids) -> (deleted, absent)"},
    {"set_payload", writer_set_payload, METH_VARARGS, "set_payload(id, payload)"},
    {"compact", writer_compact, METH_O, "compact(purge) -> (points, payloads, purged)"},
    {"close", writer_close, METH_NOARGS, "close()"},
    {"info", writer_info, METH_NOARGS, "info() -> (live points, dim, metric)"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"closed", writer_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc, const_cast<char*>("Writer(path, wait): the native writer session behind vivudu.Writer.")},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "vivudu._native.Writer", sizeof(WriterObject), 0, Py_TPFLAGS_DEFAULT, writer_slots,
};

}  // namespace

PyObject* create_writer_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &writer_spec, nullptr);
}

}  // namespace vivudu::native
