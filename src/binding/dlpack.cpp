// DLPack exchange for quarn.Tensor, written from the DLPack project's
// published C ABI (the structs below match its header field for field).
//
// Export: a versioned capsule (DLPack 1.x) either shares the tensor's own
// buffer, flagged read-only (storages never change), or carries a private
// copy flagged as copied; the package's __dlpack__ decides which. The legacy
// capsule has no read-only flag, so it always carries a copy the consumer
// may write. Import copies the elements into a fresh storage, so the
// producer may do what it likes with its memory afterwards.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/interop.hpp"
#include "binding/protocol.hpp"
#include "binding/tensor_object.hpp"
#include "engine/copy.hpp"
#include "ops/tensor_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::binding {

namespace {

// ---- The DLPack ABI -------------------------------------------------------------------

constexpr std::int32_t kDLCPU = 1;

enum : std::uint8_t { kDLInt = 0, kDLUInt = 1, kDLFloat = 2, kDLOpaqueHandle = 3, kDLBfloat = 4, kDLComplex = 5,
                      kDLBool = 6 };

struct DLPackVersion {
  std::uint32_t major;
  std::uint32_t minor;
};
struct DLDevice {
  std::int32_t device_type;  // a C enum in the header: int-sized
  std::int32_t device_id;
};
struct DLDataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};
struct DLTensor {
  void* data;
  DLDevice device;
  std::int32_t ndim;
  DLDataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements; null means row-major and compact
  std::uint64_t byte_offset;
};
struct DLManagedTensor {
  DLTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DLManagedTensor* self);
};
constexpr std::uint64_t kReadOnly = 1u << 0;
constexpr std::uint64_t kIsCopied = 1u << 1;
struct DLManagedTensorVersioned {
  DLPackVersion version;
  void* manager_ctx;
  void (*deleter)(DLManagedTensorVersioned* self);
  std::uint64_t flags;
  DLTensor dl_tensor;
};

constexpr char kLegacyName[] = "dltensor";
constexpr char kLegacyUsed[] = "used_dltensor";
constexpr char kVersionedName[] = "dltensor_versioned";
constexpr char kVersionedUsed[] = "used_dltensor_versioned";

// ---- Export -------------------------------------------------------------------------------

// Everything one capsule hands out, freed by the deleter (which a consumer
// may call from any thread, with or without the interpreter lock: nothing
// here touches Python).
struct Exported {
  DLManagedTensor legacy{};
  DLManagedTensorVersioned versioned{};
  Storage storage;  // keeps the elements alive
  std::vector<std::int64_t> shape, strides;
};

void delete_legacy(DLManagedTensor* self) { delete static_cast<Exported*>(self->manager_ctx); }
void delete_versioned(DLManagedTensorVersioned* self) { delete static_cast<Exported*>(self->manager_ctx); }

// A capsule that no consumer took still owns its tensor.
void legacy_capsule_destructor(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kLegacyName)) return;
  auto* m = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, kLegacyName));
  if (m != nullptr && m->deleter != nullptr) m->deleter(m);
}
void versioned_capsule_destructor(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kVersionedName)) return;
  auto* m = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, kVersionedName));
  if (m != nullptr && m->deleter != nullptr) m->deleter(m);
}

DLDataType dl_dtype(DType d) {
  switch (d) {
    case DType::F32: return {kDLFloat, 32, 1};
    case DType::F16: return {kDLFloat, 16, 1};
    case DType::BF16: return {kDLBfloat, 16, 1};
    case DType::Bool: return {kDLBool, 8, 1};
  }
  return {kDLOpaqueHandle, 0, 0};
}

// A storage of the same layout holding a copy of the elements (every
// storage is one dense block, so one memcpy copies it).
Storage copy_of(const Storage& s) {
  Storage out = Storage::allocate(s.dtype(), s.shape(), s.strides());
  LongWork guard(s.numel());
  if (s.nbytes()) std::memcpy(out.mutable_data(), s.data(), s.nbytes());
  return out;
}

// A consumer may read the data pointer of an empty tensor; give it a valid one.
alignas(64) unsigned char empty_elements[64];

PyObject* to_dlpack(const Storage& source, bool versioned, bool copy) {
  auto owned = std::make_unique<Exported>();
  owned->storage = copy ? copy_of(source) : source;
  const Storage& s = owned->storage;
  for (std::size_t i = 0; i < s.ndim(); ++i) {
    owned->shape.push_back(static_cast<std::int64_t>(s.shape()[i]));
    owned->strides.push_back(static_cast<std::int64_t>(s.strides()[i]));
  }
  DLTensor t{};
  t.data = s.numel() ? const_cast<void*>(s.data()) : static_cast<void*>(empty_elements);
  t.device = {kDLCPU, 0};
  t.ndim = static_cast<std::int32_t>(s.ndim());
  t.dtype = dl_dtype(s.dtype());
  t.shape = owned->shape.data();
  t.strides = owned->strides.data();
  t.byte_offset = 0;
  PyObject* capsule = nullptr;
  if (versioned) {
    DLManagedTensorVersioned& m = owned->versioned;
    m.version = {1, 0};
    m.manager_ctx = owned.get();
    m.deleter = delete_versioned;
    m.flags = copy ? kIsCopied : kReadOnly;
    m.dl_tensor = t;
    capsule = PyCapsule_New(&m, kVersionedName, versioned_capsule_destructor);
  } else {
    DLManagedTensor& m = owned->legacy;
    m.dl_tensor = t;
    m.manager_ctx = owned.get();
    m.deleter = delete_legacy;
    capsule = PyCapsule_New(&m, kLegacyName, legacy_capsule_destructor);
  }
  if (capsule != nullptr) owned.release();  // the capsule owns it now
  return capsule;
}

// _to_dlpack(tensor, versioned, copy): the package's __dlpack__ has checked
// the stream and device and decided whether to share; a legacy capsule
// cannot carry the read-only flag, so it is always a copy.
PyObject* to_dlpack_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *t = nullptr, *versioned_obj = nullptr, *copy_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:_to_dlpack", &t, &versioned_obj, &copy_obj)) return nullptr;
    if (!arg_tensor(t, "tensor")) return nullptr;
    bool versioned = false, copy = false;
    if (!arg_bool(versioned_obj, "versioned", &versioned) || !arg_bool(copy_obj, "copy", &copy)) return nullptr;
    if (!versioned && !copy) {
      PyErr_SetString(PyExc_BufferError,
                      "a tensor's elements can be shared only read-only, through a versioned capsule");
      return nullptr;
    }
    return to_dlpack(record_of(t).data, versioned, copy);
  });
}

// ---- Import ---------------------------------------------------------------------------------

std::string dl_type_name(DLDataType t) {
  static constexpr const char* kCodes[] = {"int", "uint", "float", "opaque", "bfloat", "complex", "bool"};
  // Appended piece by piece: GCC 12 at -O3 misreads `"literal" + string`
  // as an overlapping copy (-Wrestrict).
  std::string name;
  if (t.code < std::size(kCodes)) {
    name.append(kCodes[t.code]);
  } else {
    name.append("code ").append(std::to_string(t.code)).append(" ");
  }
  name.append(std::to_string(t.bits));
  if (t.lanes != 1) name.append("x").append(std::to_string(t.lanes));
  return name;
}

Result<DType> dtype_of(DLDataType t) {
  if (t.lanes == 1) {
    if (t.code == kDLFloat && t.bits == 32) return DType::F32;
    if (t.code == kDLFloat && t.bits == 16) return DType::F16;
    if (t.code == kDLBfloat && t.bits == 16) return DType::BF16;
    if (t.code == kDLBool && t.bits == 8) return DType::Bool;
  }
  return type_error("cannot import DLPack elements of type " + dl_type_name(t) +
                    ": only float32, float16, bfloat16 and bool are supported");
}

// A copy of the elements `t` describes, in a new row-major storage.
Result<Storage> copy_in(const DLTensor& t) {
  if (t.device.device_type != kDLCPU)
    return value_error("cannot import a DLPack tensor from device type " + std::to_string(t.device.device_type) +
                       ": only the CPU (1) is supported");
  QUARN_TRY(DType dtype, dtype_of(t.dtype));
  if (t.ndim < 0 || (t.ndim > 0 && t.shape == nullptr)) return value_error("invalid DLPack tensor: bad shape");
  Shape shape;
  for (std::int32_t i = 0; i < t.ndim; ++i) {
    if (t.shape[i] < 0) return value_error("invalid DLPack tensor: negative extent");
    shape.push_back(static_cast<std::size_t>(t.shape[i]));
  }
  if (!checked_numel(shape)) return value_error("invalid DLPack tensor: too many elements");
  Storage out = Storage::allocate_row_major(dtype, shape);
  if (out.numel() == 0) return out;
  const std::size_t itemsize = out.itemsize();
  Strides byte_strides;
  const Strides dense = row_major_strides(shape);
  for (std::int32_t i = 0; i < t.ndim; ++i) {
    const std::int64_t stride = t.strides != nullptr ? t.strides[i] : dense[static_cast<std::size_t>(i)];
    byte_strides.push_back(static_cast<std::ptrdiff_t>(stride) * static_cast<std::ptrdiff_t>(itemsize));
  }
  const char* src = static_cast<const char*>(t.data) + t.byte_offset;
  LongWork guard(out.numel());
  engine::gather_row_major(src, shape, byte_strides.data(), itemsize, out.mutable_data());
  if (dtype == DType::Bool) {
    auto* p = out.mutable_data_as<std::uint8_t>();
    for (std::size_t i = 0; i < out.numel(); ++i) p[i] = p[i] != 0;
  }
  return out;
}

// _from_dlpack(capsule, requires_grad): a fresh leaf of the calling thread's
// graph holding a copy; the capsule is marked used and its tensor released.
PyObject* from_dlpack_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *capsule = nullptr, *requires_grad_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_from_dlpack", &capsule, &requires_grad_obj)) return nullptr;
    bool requires_grad = false;
    if (!arg_bool(requires_grad_obj, "requires_grad", &requires_grad)) return nullptr;
    Storage storage;
    if (PyCapsule_IsValid(capsule, kVersionedName)) {
      auto* m = static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, kVersionedName));
      if (m->version.major != 1)
        return raise(value_error("cannot import DLPack version " + std::to_string(m->version.major) + "." +
                                 std::to_string(m->version.minor) + ": only 1.x is supported"));
      Result<Storage> r = copy_in(m->dl_tensor);
      if (!r.ok()) return raise(r.error());
      storage = std::move(r).value();
      if (PyCapsule_SetName(capsule, kVersionedUsed) < 0) return nullptr;
      if (m->deleter != nullptr) m->deleter(m);
    } else if (PyCapsule_IsValid(capsule, kLegacyName)) {
      auto* m = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, kLegacyName));
      Result<Storage> r = copy_in(m->dl_tensor);
      if (!r.ok()) return raise(r.error());
      storage = std::move(r).value();
      if (PyCapsule_SetName(capsule, kLegacyUsed) < 0) return nullptr;
      if (m->deleter != nullptr) m->deleter(m);
    } else {
      return raise(type_error("expected an unused DLPack capsule"));
    }
    if (storage.dtype() == DType::BF16 && !ensure_bfloat16_type()) return nullptr;
    return wrap(ops::make_leaf(std::move(storage), requires_grad), user_tensor_type());
  });
}

PyMethodDef dlpack_defs[] = {
    {"_to_dlpack", to_dlpack_function, METH_VARARGS,
     "_to_dlpack(tensor, versioned, copy)\n--\n\nA DLPack capsule of the tensor: versioned and read-only "
     "sharing its elements, or a copy."},
    {"_from_dlpack", from_dlpack_function, METH_VARARGS,
     "_from_dlpack(capsule, requires_grad)\n--\n\nA new leaf tensor holding a copy of a DLPack capsule's "
     "elements."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_dlpack_functions(PyObject* functions) { return PyModule_AddFunctions(functions, dlpack_defs); }

}  // namespace quarn::binding
