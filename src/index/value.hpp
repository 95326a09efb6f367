// Attribute values. A PyValue is a Python object plus what the index needs to know about it
// without asking the interpreter again: its primitive cast and its hash. Everything here except
// construction (bindings/value_convert.cpp) runs without the interpreter lock.
//
// Equality: values hash by the interpreter's hash, and tables are keyed by that number, but two
// values are equal only when their hashes are equal and nothing known natively proves them
// different. The very same object is always equal; numbers (int, bool, float, and ints beyond
// 64 bits) compare by exact numeric value; two strs by text; a str never equals a number; an
// Indexable equals only itself; an object whose hash failed equals only itself. Everything else
// (None, tuples, enums, subclass instances) is equal by hash, as Python's own numeric hashing
// intends (1, 1.0 and True are one key).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "index/indexable_handle.hpp"
#include "interpreter/py_handle.hpp"

namespace vantorelle {

// The primitive cast of a value. Int, Float and Str only for objects whose type is exactly int,
// float or str; Ind for instances of Indexable and its subclasses; Unknown for everything else.
struct NativeCastValue {
  struct Int { std::int64_t value; };
  struct Float { double value; };
  // The text lives in the str object itself (its cached UTF-8 form, fixed for the object's
  // life), which every copy of the value keeps alive through its handle.
  struct Str { std::string_view text; };
  struct Ind { IndexableHandle obj; };
  // For an int beyond 64 bits or a str with lone surrogates: their natively comparable form
  // (see ValueClass); null otherwise.
  struct Unknown { std::shared_ptr<const std::string> exact; };
  std::variant<Int, Float, Str, Ind, Unknown> v{Unknown{}};

  bool is_int() const noexcept { return std::holds_alternative<Int>(v); }
  bool is_float() const noexcept { return std::holds_alternative<Float>(v); }
  bool is_str() const noexcept { return std::holds_alternative<Str>(v); }
  bool is_ind() const noexcept { return std::holds_alternative<Ind>(v); }
  std::int64_t as_int() const { return std::get<Int>(v).value; }
  double as_float() const { return std::get<Float>(v).value; }
  std::string_view as_str() const { return std::get<Str>(v).text; }
  PyObject* as_ind() const { return std::get<Ind>(v).obj.get(); }
  const IndexableHandle& as_ind_handle() const { return std::get<Ind>(v).obj; }
  std::string debug_text() const;
};

// What equality may rely on beyond the primitive cast. Bool, BigInt and BadStr carry primitave
// Unknown; `exact` holds their natively comparable form.
enum class ValueClass : std::uint8_t {
  Other,
  Int,        // exact int within 64 bits (primitave Int)
  Bool,       // True / False: numeric 1 / 0
  BigInt,     // exact int beyond 64 bits: `exact` is its text in base 16 ("0x..", "-0x..")
  Float,      // exact float (primitave Float)
  Str,        // exact str (primitave Str)
  BadStr,     // exact str with lone surrogates: `exact` is its surrogate-preserving encoding
  Indexable,  // primitave Ind
};

class PyValue {
 public:
  PyValue() = default;
  PyValue(PyHandle obj, NativeCastValue primitave, std::uint64_t hash, ValueClass cls, bool hash_failed)
      : obj_(std::move(obj)), primitave_(std::move(primitave)), hash_(hash), cls_(cls), hash_failed_(hash_failed) {}

  PyObject* obj() const noexcept { return obj_.get(); }
  const PyHandle& handle() const noexcept { return obj_; }
  const NativeCastValue& primitave() const noexcept { return primitave_; }
  std::uint64_t hash() const noexcept { return hash_; }
  ValueClass value_class() const noexcept { return cls_; }
  bool hash_failed() const noexcept { return hash_failed_; }

  bool operator==(const PyValue& other) const noexcept;
  std::string debug_text() const;

 private:
  PyHandle obj_;
  NativeCastValue primitave_;
  std::uint64_t hash_ = 0;
  ValueClass cls_ = ValueClass::Other;
  bool hash_failed_ = false;

  const std::string& exact() const { return *std::get<NativeCastValue::Unknown>(primitave_.v).exact; }
};

// Table hash of a value: a multiplicative mix of the two 32-bit halves of its 64-bit hash.
struct PyValueHash {
  std::size_t operator()(const PyValue& value) const noexcept {
    std::uint64_t h = value.hash();
    std::uint64_t lo = h & 0xFFFFFFFFu, hi = h >> 32;
    return static_cast<std::size_t>((lo * 0x9E3779B97F4A7C15ull) ^ (hi * 0xC2B2AE3D27D4EB4Full));
  }
};

// "Py(0x..)": an object's address in lowercase hex without padding.
std::string debug_address(const void* address);
// A double in the shortest text that reads back the same ("1.0", "2.5", "1e16", "1e-5", "NaN").
std::string debug_float(double value);

}  // namespace vantorelle
