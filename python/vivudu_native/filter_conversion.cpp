#include "filter_conversion.hpp"

#include <cstring>
#include <string>

#include "payload_conversion.hpp"

namespace vivudu::native {

using dovadure::payload_storage::Filter;
using dovadure::utils::PayloadKind;
using dovadure::utils::PayloadValue;
using Op = Filter::Op;

namespace {

bool fail(const std::string& text) {
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return false;
}

std::string key_text(const std::string& key) { return "['" + key + "']"; }

bool utf8_key(PyObject* key, const std::string& path, std::string& out) {
  if (!PyUnicode_Check(key)) {
    return fail(std::string("filter keys must be str, got ") + Py_TYPE(key)->tp_name + " at " + path);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return fail("a filter key is not valid UTF-8 at " + path);
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

struct OperatorName {
  const char* name;
  Op op;
};
constexpr OperatorName kComparisons[] = {
    {"$eq", Op::Eq}, {"$ne", Op::Ne},   {"$gt", Op::Gt},   {"$gte", Op::Gte},       {"$lt", Op::Lt},
    {"$lte", Op::Lte}, {"$in", Op::In}, {"$nin", Op::Nin}, {"$exists", Op::Exists},
};

// One operand of a comparison at `path`.
bool operand(PyObject* v, Op op, const std::string& name, const std::string& path, PayloadValue& out) {
  bool scalar = false;
  if (!convert_scalar(v, path, out, scalar)) return false;
  const bool range = op == Op::Gt || op == Op::Gte || op == Op::Lt || op == Op::Lte;
  if (!scalar) {
    return fail("'" + name + "' needs " + (range ? "a number" : "an int, float, str or bool") + " at " +
                path + ", got " + Py_TYPE(v)->tp_name);
  }
  if (range && out.kind() != PayloadKind::Int && out.kind() != PayloadKind::Float) {
    return fail("'" + name + "' needs a number (ranges compare numbers only) at " + path + ", got " +
                Py_TYPE(v)->tp_name);
  }
  return true;
}

bool comparison(const std::string& field, const std::string& name, Op op, PyObject* v,
                const std::string& path, Filter& out) {
  out = Filter();
  out.op = op;
  out.field = field;
  if (op == Op::Exists) {
    if (!PyBool_Check(v)) return fail("'$exists' needs True or False at " + path);
    out.exists = v == Py_True;
    return true;
  }
  if (op == Op::In || op == Op::Nin) {
    if (!PyList_Check(v) && !PyTuple_Check(v)) {
      return fail("'" + name + "' needs a list of values at " + path + ", got " + Py_TYPE(v)->tp_name);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
    PyObject** items = PySequence_Fast_ITEMS(v);
    out.values.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!operand(items[i], op, name, path + "[" + std::to_string(i) + "]", out.values[i])) return false;
    }
    return true;
  }
  out.values.resize(1);
  return operand(v, op, name, path, out.values[0]);
}

bool convert_at(PyObject* obj, const std::string& path, Filter& out, size_t depth);

// Conditions side by side in one dict hold together.
void all_of(std::vector<Filter> parts, Filter& out) {
  if (parts.size() == 1) {
    out = std::move(parts[0]);
    return;
  }
  out = Filter();
  out.op = Op::And;
  out.children = std::move(parts);
}

// A list of filters for $and / $or.
bool filter_list(PyObject* v, const std::string& name, const std::string& path, Filter& out,
                 size_t depth) {
  if ((!PyList_Check(v) && !PyTuple_Check(v)) || PySequence_Fast_GET_SIZE(v) == 0) {
    return fail("'" + name + "' needs a non-empty list of filters at " + path);
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
  PyObject** items = PySequence_Fast_ITEMS(v);
  out.children.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!convert_at(items[i], path + "[" + std::to_string(i) + "]", out.children[i], depth + 1)) {
      return false;
    }
  }
  return true;
}

// The conditions on one field: a scalar (equality) or a dict of operators.
bool field_filter(const std::string& field, PyObject* v, const std::string& path, Filter& out) {
  if (!PyDict_Check(v)) return comparison(field, "$eq", Op::Eq, v, path, out);
  if (PyDict_GET_SIZE(v) == 0) return fail("an empty dict of operators at " + path);
  std::vector<Filter> parts;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(v, &pos, &key, &value)) {
    std::string name;
    if (!utf8_key(key, path, name)) return false;
    const std::string at = path + key_text(name);
    const OperatorName* found = nullptr;
    for (const OperatorName& c : kComparisons) {
      if (name == c.name) found = &c;
    }
    if (found == nullptr) return fail("unknown operator '" + name + "' at " + at);
    parts.emplace_back();
    if (!comparison(field, name, found->op, value, at, parts.back())) return false;
  }
  all_of(std::move(parts), out);
  return true;
}

bool convert_at(PyObject* obj, const std::string& path, Filter& out, size_t depth) {
  if (!PyDict_Check(obj)) {
    return fail(std::string("a filter must be a dict at ") + path + ", got " + Py_TYPE(obj)->tp_name);
  }
  if (depth > dovadure::payload_storage::kMaxFilterDepth) {
    return fail("the filter nests deeper than " + std::to_string(dovadure::payload_storage::kMaxFilterDepth) +
                " levels at " + path);
  }
  if (PyDict_GET_SIZE(obj) == 0) return fail("an empty filter at " + path + " (pass filter=None for none)");
  std::vector<Filter> parts;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string name;
    if (!utf8_key(key, path, name)) return false;
    const std::string at = path + key_text(name);
    parts.emplace_back();
    Filter& part = parts.back();
    if (name == "$and" || name == "$or") {
      part.op = name == "$and" ? Op::And : Op::Or;
      if (!filter_list(value, name, at, part, depth)) return false;
    } else if (name == "$not") {
      part.op = Op::Not;
      part.children.resize(1);
      if (!convert_at(value, at, part.children[0], depth + 1)) return false;
    } else if (!name.empty() && name[0] == '$') {
      return fail("unknown operator '" + name + "' at " + at);
    } else if (!field_filter(name, value, at, part)) {
      return false;
    }
  }
  all_of(std::move(parts), out);
  return true;
}

}  // namespace

bool convert_filter(PyObject* obj, Filter& out) {
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "filter must be a dict or None, got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  if (!convert_at(obj, "filter", out, 1)) return false;
  const std::string shape = dovadure::payload_storage::filter_shape_error(out);
  if (!shape.empty()) return fail("filter: " + shape);
  return true;
}

}  // namespace vivudu::native
