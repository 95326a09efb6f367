// Attribute values. A PyValue is a Python object plus what the index needs to know about it
// without asking the interpreter again: its primitive cast, its hash and its equality key.
// Everything here except construction (bindings/value_convert.cpp) runs without the interpreter
// lock.
//
// Equality agrees with the interpreter's ==, decided natively. At conversion every value gets an
// equality key (EqKey): numbers that equal an int or a float (exact ints and floats, bools,
// subclasses that keep the base type's == and hash, such as IntEnum, and other numbers equal to
// one, such as Decimal(1) or Fraction(1, 2)) are keyed by exact numeric value; text by its UTF-8
// (str and subclasses that keep str's == and hash); bytes by content; objects whose type keeps
// object's == (None, plain Enum members, most class instances), Indexables, unhashable values and
// values whose hash failed by identity; everything else (tuples, frozensets, Decimal("0.1"),
// datetime, custom ==) by a canonical representative: the first equal value seen, found when the
// value was converted by the interpreter's == against the known values of the same hash. Two values are equal when their
// keys are: same kind and same number, text, bytes or representative; numbers across Int, BigInt
// and Float exactly; the very same object always.
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

struct Representative;

// The primitive cast of a value. Int, Float and Str only for objects whose type is exactly int,
// float or str; Ind for instances of Indexable and its subclasses; Unknown for everything else.
struct NativeCastValue {
  struct Int { std::int64_t value; };
  struct Float { double value; };
  // The text lives in the str object itself (its cached UTF-8 form, fixed for the object's
  // life), which every copy of the value keeps alive through its handle.
  struct Str { std::string_view text; };
  struct Ind { IndexableHandle obj; };
  // The equality payload of a value whose primitive cast carries none (see EqKey): an int64 (Int),
  // a double (Float), a view into the object's own immutable text or bytes (Text, Bytes), an owned
  // form (BigInt's base-16 text, BadText's surrogate-preserving bytes) or the representative.
  struct Unknown {
    std::variant<std::monostate, std::int64_t, double, std::string_view, std::shared_ptr<const std::string>,
                 std::shared_ptr<const Representative>>
        key;
  };
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

// The kind of a value's equality key.
enum class EqKey : std::uint8_t {
  Identity,   // equal only to itself
  Int,        // a 64-bit integer: primitave Int, or Unknown with an int64
  BigInt,     // an integer beyond 64 bits: Unknown with its text in base 16 ("0x..", "-0x..")
  Float,      // a double: primitave Float, or Unknown with a double
  Text,       // valid text: primitave Str, or Unknown with a view of the object's UTF-8
  BadText,    // text with lone surrogates: Unknown with its surrogate-preserving bytes
  Bytes,      // bytes: Unknown with a view of the object's content
  Canonical,  // Unknown with the representative shared by every value equal to it
};

// The representative of a class of values that are equal by the interpreter's ==: made by the
// bindings, which keep the table of them, and shared by every value of the class; it leaves the
// table with the last of them. Natively, two such values are equal exactly when they share it.
struct Representative {
  std::uint64_t hash = 0;
  // The handles of the values of the class (listed cells), linked by the bindings' table under
  // its lock. No reference is held for the class: a member leaves the list when its last handle
  // goes, and the class with its last value.
  PyHandle::ListedCell* members = nullptr;
};

class PyValue {
 public:
  PyValue() = default;
  PyValue(PyHandle obj, NativeCastValue primitave, std::uint64_t hash, EqKey key, bool hash_failed)
      : obj_(std::move(obj)), primitave_(std::move(primitave)), hash_(hash), key_(key), hash_failed_(hash_failed) {}

  PyObject* obj() const noexcept { return obj_.get(); }
  const PyHandle& handle() const noexcept { return obj_; }
  const NativeCastValue& primitave() const noexcept { return primitave_; }
  // The interpreter's hash, sign-extended; 0 when the value could not be hashed.
  std::uint64_t hash() const noexcept { return hash_; }
  // What tables key the value by: its hash, or, for a value that could not be hashed (it is equal
  // only to itself), its address, so that such values spread over a table.
  std::uint64_t table_hash() const noexcept {
    return hash_failed_ ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(obj_.get())) : hash_;
  }
  EqKey eq_key() const noexcept { return key_; }
  bool hash_failed() const noexcept { return hash_failed_; }

  bool operator==(const PyValue& other) const noexcept;
  std::string debug_text() const;

  // This value on another handle of the same object (a reference of its own): everything else,
  // the primitive cast, hash and equality key included, stays as it was computed.
  PyValue with_handle(PyHandle handle) const {
    PyValue copy = *this;
    if (copy.primitave_.is_ind()) copy.primitave_.v = NativeCastValue::Ind{IndexableHandle::of_checked(handle)};
    copy.obj_ = std::move(handle);
    return copy;
  }
  // The representative of a Canonical value, else null.
  const std::shared_ptr<const Representative>* representative() const noexcept {
    if (key_ != EqKey::Canonical) return nullptr;
    return &std::get<std::shared_ptr<const Representative>>(std::get<NativeCastValue::Unknown>(primitave_.v).key);
  }

 private:
  std::int64_t key_int() const noexcept;
  double key_float() const noexcept;
  std::string_view key_text() const noexcept;  // Text, Bytes, BigInt, BadText
  const Representative* key_representative() const noexcept;

  PyHandle obj_;
  NativeCastValue primitave_;
  std::uint64_t hash_ = 0;
  EqKey key_ = EqKey::Identity;
  bool hash_failed_ = false;
};

// Table hash of a value: a multiplicative mix of the two 32-bit halves of its table hash.
struct PyValueHash {
  std::size_t operator()(const PyValue& value) const noexcept {
    std::uint64_t h = value.table_hash();
    std::uint64_t lo = h & 0xFFFFFFFFu, hi = h >> 32;
    return static_cast<std::size_t>((lo * 0x9E3779B97F4A7C15ull) ^ (hi * 0xC2B2AE3D27D4EB4Full));
  }
};

// "Py(0x..)": an object's address in lowercase hex without padding.
std::string debug_address(const void* address);
// A double in the shortest text that reads back the same ("1.0", "2.5", "1e16", "1e-5", "NaN").
std::string debug_float(double value);
// Text in double quotes, with backslash escapes for quotes, backslashes and control characters
// and "\u{...}" for other characters that do not print.
std::string debug_quoted(std::string_view text);

}  // namespace vantorelle
