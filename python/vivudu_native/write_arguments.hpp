// Arguments of the write calls, copied into native memory while the
// interpreter lock is held, and the writer's errors as Python exceptions.
// The Python layer hands over C-contiguous float32 and uint64 arrays.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <string>

#include "segment/writer.hpp"

namespace vivudu::native {

// `vectors` a 2-D float32 buffer, `ids` a 1-D uint64 buffer or None,
// `payloads` a sequence or None. Returns false with an exception set.
bool convert_rows(PyObject* vectors, PyObject* ids, PyObject* payloads,
                  dovadure::segment::PointRows& out);

// A 1-D uint64 buffer, copied.
bool convert_ids(PyObject* ids, const char* name, std::vector<uint64_t>& out);

// Seconds (int or float, at least 0) as a lock wait.
bool convert_wait(PyObject* wait, std::chrono::milliseconds& out);

// An unsigned argument within [min, max], or ValueError naming it.
bool in_range(const char* name, unsigned long long value, unsigned long long min, unsigned long long max,
              size_t& out);

// metric ("cosine", "dot", "euclidean"), m, ef_construction and max_level
// within the writer's limits, or ValueError naming the argument.
bool parse_build_settings(const char* metric, unsigned long long m, unsigned long long ef,
                          unsigned long long max_level, dovadure::utils::DistanceMetric& metric_out,
                          size_t& m_out, size_t& ef_out, size_t& max_level_out);

// Sets the exception for a writer error and returns nullptr:
// ValueError for input and refusals, KeyError for an unknown id,
// FileExistsError, FileNotFoundError, TimeoutError for a lock that stayed
// taken, RuntimeError with the core's text for failures.
PyObject* raise_write_error(const dovadure::segment::WriteError& error);

}  // namespace vivudu::native
