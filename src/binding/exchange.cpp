#include "binding/exchange.hpp"

#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/tensor_object.hpp"
#include "ops/tensor_ops.hpp"
#include "engine/copy.hpp"
#include "runtime/blocking.hpp"

namespace quarn::binding {

namespace {

struct DTypeName {
  const char* name;
  const char* numpy_name;
  DType dtype;
};

constexpr DTypeName kDTypeNames[] = {
    {"float32", "float32", DType::F32}, {"f32", "float32", DType::F32},
    {"float16", "float16", DType::F16}, {"f16", "float16", DType::F16},
    {"bfloat16", "bfloat16", DType::BF16}, {"bf16", "bfloat16", DType::BF16},
    {"bool", "bool", DType::Bool},
};

const DTypeName* find_dtype(std::string_view name) {
  for (const auto& e : kDTypeNames)
    if (name == e.name) return &e;
  return nullptr;
}

// Lone surrogates pass through, so that a name that cannot be valid still
// reaches the "invalid data type" message unchanged.
Result<std::string> utf8(PyObject* s) {
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!bytes) return python_error();
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A name read from an object must be a str.
Result<std::string> utf8_name(PyObject* name) {
  if (!PyUnicode_Check(name)) return not_instance(name, "str");
  return utf8(name);
}

// The dtype argument as a name: None -> "float32", a str as it is, else the
// object's __name__, else (when reading __name__ fails with an ordinary
// error) numpy.dtype(obj).name.
Result<std::string> resolve_dtype_name(PyObject* dtype) {
  if (dtype == nullptr || dtype == Py_None) return std::string("float32");
  if (PyUnicode_Check(dtype)) return utf8(dtype);
  PyRef name = PyRef::steal(PyObject_GetAttrString(dtype, "__name__"));
  if (name) return utf8_name(name.get());
  if (!discard_conversion_error()) return python_error();
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return python_error();
  PyRef dtype_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
  if (!dtype_fn) return python_error();
  PyRef descr = PyRef::steal(PyObject_CallOneArg(dtype_fn.get(), dtype));
  if (!descr) return python_error();
  PyRef descr_name = PyRef::steal(PyObject_GetAttrString(descr.get(), "name"));
  if (!descr_name) return python_error();
  return utf8_name(descr_name.get());
}

// Device names are compared after full Unicode lower-casing, as str.lower()
// does it; a str subclass's own lower() has no say.
bool check_device(PyObject* device, bool* valid) {
  PyRef lowered = PyRef::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", device));
  if (!lowered) return false;
  *valid = PyUnicode_Check(lowered.get()) &&
           PyUnicode_CompareWithASCIIString(lowered.get(), "cpu") == 0;
  return true;
}

// Bool elements must be 0 or 1 for the logic kernels; NumPy arrays viewed
// from other byte data can hold anything else.
void normalise_bools(std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = p[i] != 0;
}

// Without a registered bfloat16 type no array can hold bfloat16 elements.
bool matches_numpy_type(PyArrayObject* arr, DType dtype) {
  PyRef want = PyRef::steal(reinterpret_cast<PyObject*>(find_numpy_descr(dtype)));
  return want && PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want.get()));
}

}  // namespace

Result<Storage> ingest_array(PyObject* obj, std::string_view dtype_name) {
  if (!ensure_numpy()) return python_error();
  if (!PyArray_Check(obj)) return not_instance(obj, "numpy.ndarray");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  int nd = PyArray_NDIM(arr);
  const npy_intp* dims = PyArray_DIMS(arr);
  Shape shape;
  for (int i = 0; i < nd; ++i) shape.push_back(static_cast<std::size_t>(dims[i]));

  const DTypeName* entry = find_dtype(dtype_name);
  if (entry == nullptr)
    return type_error("Unsupported data type '" + std::string(dtype_name) +
                      "'. Only float32, float16, bfloat16, and bool are supported.");
  if (!matches_numpy_type(arr, entry->dtype))
    return type_error(std::string("the array's element type does not match '") + entry->numpy_name + "'");

  Storage out = Storage::allocate_row_major(entry->dtype, std::move(shape));
  std::size_t itemsize = out.itemsize();
  if (static_cast<std::size_t>(PyArray_ITEMSIZE(arr)) != itemsize)
    return type_error("the array's element size does not match its type");
  // Everything the copy needs is read from the array first: a large copy
  // runs without the interpreter lock, while the caller's reference keeps
  // the array (and so its memory) alive.
  const void* src = PyArray_DATA(arr);
  const bool contiguous = PyArray_IS_C_CONTIGUOUS(arr);
  Strides byte_strides;
  if (!contiguous)
    for (int i = 0; i < nd; ++i) byte_strides.push_back(PyArray_STRIDES(arr)[i]);
  LongWork guard(out.numel());
  if (contiguous) {
    if (out.nbytes()) std::memcpy(out.mutable_data(), src, out.nbytes());
  } else {
    engine::gather_row_major(src, out.shape(), byte_strides.data(), itemsize, out.mutable_data());
  }
  if (out.dtype() == DType::Bool) normalise_bools(out.mutable_data_as<std::uint8_t>(), out.numel());
  return out;
}

PyObject* export_storage(const Storage& s) {
  if (!ensure_numpy()) return nullptr;
  PyArray_Descr* descr = numpy_descr(s.dtype());  // reference stolen below
  int nd = static_cast<int>(s.ndim());
  SmallVector<npy_intp> dims, strides;
  for (std::size_t i = 0; i < s.ndim(); ++i) {
    dims.push_back(static_cast<npy_intp>(s.shape()[i]));
    strides.push_back(static_cast<npy_intp>(s.strides()[i] * static_cast<std::ptrdiff_t>(s.itemsize())));
  }
  bool block = s.is_row_major() || (s.ndim() >= 2 && s.is_column_major());
  PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims.data(),
                                       block ? strides.data() : nullptr, nullptr, 0, nullptr);
  if (arr == nullptr) return nullptr;
  void* dst = PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr));
  // No one else has seen the new array yet, and `s` lives in the caller's
  // handle: a large copy runs without the interpreter lock.
  LongWork guard(s.numel());
  if (block) {
    if (s.nbytes()) std::memcpy(dst, s.data(), s.nbytes());
  } else {
    Strides byte_strides;
    for (std::size_t i = 0; i < s.ndim(); ++i)
      byte_strides.push_back(s.strides()[i] * static_cast<std::ptrdiff_t>(s.itemsize()));
    engine::gather_row_major(s.data(), s.shape(), byte_strides.data(), s.itemsize(), dst);
  }
  return arr;
}

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "dtype", "device", "requires_grad", nullptr};
    PyObject *data = nullptr, *dtype = nullptr, *device = nullptr, *requires_grad_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Tensor", const_cast<char**>(kwlist), &data,
                                     &dtype, &device, &requires_grad_obj))
      return nullptr;
    if (device && !arg_str(device, "device")) return nullptr;
    bool requires_grad = false;
    if (requires_grad_obj && !arg_bool(requires_grad_obj, "requires_grad", &requires_grad)) return nullptr;
    if (device) {
      bool valid = false;
      if (!check_device(device, &valid)) return nullptr;
      if (!valid) return raise(value_error("The device string is invalid or not supported."));
    }
    Result<std::string> name = resolve_dtype_name(dtype);
    if (!name.ok()) return raise(name.error());
    const DTypeName* entry = find_dtype(*name);
    if (entry == nullptr) return raise(value_error("Unsupported or invalid data type: '" + *name + "'"));

    if (!ensure_numpy()) return nullptr;
    PyRef array;
    // An ndarray that already holds exactly this element type is read as it
    // is; numpy.array would only make a copy that we copy again.
    if (PyArray_CheckExact(data) && matches_numpy_type(reinterpret_cast<PyArrayObject*>(data), entry->dtype)) {
      array = PyRef::borrow(data);
    } else {
      PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
      if (!numpy) return nullptr;
      PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
      if (!array_fn) return nullptr;
      PyRef pos = PyRef::steal(PyTuple_Pack(1, data));
      PyRef kw = PyRef::steal(Py_BuildValue("{s:s}", "dtype", entry->numpy_name));
      if (!pos || !kw) return nullptr;
      array = PyRef::steal(PyObject_Call(array_fn.get(), pos.get(), kw.get()));
      if (!array) return nullptr;
    }
    Result<Storage> storage = ingest_array(array.get(), *name);
    if (!storage.ok()) return raise(storage.error());
    return wrap(ops::make_leaf(std::move(storage).value(), requires_grad), type);
  });
}

}  // namespace quarn::binding

namespace quarn::binding {

Result<DType> dtype_argument(PyObject* dtype) {
  QUARN_TRY(std::string name, resolve_dtype_name(dtype));
  const DTypeName* entry = find_dtype(name);
  if (entry == nullptr) return value_error("Unsupported or invalid data type: '" + name + "'");
  return entry->dtype;
}

}  // namespace quarn::binding
