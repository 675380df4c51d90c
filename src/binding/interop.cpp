#include "binding/interop.hpp"

#include <optional>

#include "binding/errors.hpp"
#include "binding/exchange.hpp"
#include "binding/numpy.hpp"
#include "engine/layout_ops.hpp"

namespace quarn::binding {

bool is_array_like(PyObject* o) {
  if (PyList_Check(o) || PyTuple_Check(o)) return true;
  if (!ensure_numpy()) return false;
  return PyArray_Check(o);
}

Result<Tensor> constant_from(PyObject* o, DType like) {
  if (!ensure_numpy()) return python_error();
  PyRef natural = PyRef::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
  if (!natural) return python_error();
  auto* arr = reinterpret_cast<PyArrayObject*>(natural.get());
  DType target = like;
  if (like == DType::Bool && !PyArray_ISBOOL(arr)) target = DType::F32;
  // bfloat16 arrives through float32 (exact for every float32 value, and a
  // registered NumPy bfloat16 type is not needed for it).
  const DType via = target == DType::BF16 ? DType::F32 : target;
  const int typenum = via == DType::F32 ? NPY_FLOAT32 : via == DType::F16 ? NPY_FLOAT16 : NPY_BOOL;
  PyRef cast = PyRef::steal(PyArray_FROM_OTF(natural.get(), typenum, NPY_ARRAY_FORCECAST));
  if (!cast) return python_error();
  const char* name = via == DType::F32 ? "float32" : via == DType::F16 ? "float16" : "bool";
  QUARN_TRY(Storage storage, ingest_array(cast.get(), name));
  if (via != target) storage = engine::cast(storage, target);
  return Tensor{std::nullopt, std::move(storage), false};
}

bool ensure_bfloat16_type() {
  if (!ensure_numpy()) return false;
  PyRef known = PyRef::steal(reinterpret_cast<PyObject*>(find_numpy_descr(DType::BF16)));
  if (known) return true;
  PyRef module = PyRef::steal(PyImport_ImportModule("ml_dtypes"));
  return module || discard_conversion_error();
}

}  // namespace quarn::binding
