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

// The primitive cast of a value, as conversion describes it. Int, Float and Str only for objects
// whose type is exactly int, float or str; Ind for instances of Indexable and its subclasses;
// Unknown for everything else. A PyValue keeps it packed (see PyValue) and shows it through
// CastView.
struct NativeCastValue {
  struct Int { std::int64_t value; };
  struct Float { double value; };
  // The text lives in the str object itself (its cached UTF-8 form, fixed for the object's
  // life), which every copy of the value keeps alive through its handle.
  struct Str { std::string_view text; };
  struct Ind {};
  // The equality payload of a value whose primitive cast carries none (see EqKey): an int64 (Int),
  // a double (Float), a view into the object's own immutable text or bytes (Text, Bytes), an owned
  // form (BigInt's base-16 text, BadText's surrogate-preserving bytes) or the representative.
  struct Unknown {
    std::variant<std::monostate, std::int64_t, double, std::string_view, std::string,
                 std::shared_ptr<const Representative>>
        key;
  };
  std::variant<Int, Float, Str, Ind, Unknown> v{Unknown{}};
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

class PyValue;

// A value's primitive cast, read from the packed value.
class CastView {
 public:
  explicit CastView(const PyValue& value) noexcept : value_(value) {}
  inline bool is_int() const noexcept;
  inline bool is_float() const noexcept;
  inline bool is_str() const noexcept;
  inline bool is_ind() const noexcept;
  inline std::int64_t as_int() const noexcept;
  inline double as_float() const noexcept;
  inline std::string_view as_str() const noexcept;
  inline PyObject* as_ind() const noexcept;
  // A handle of its own on the Indexable value.
  inline IndexableHandle as_ind_handle() const;
  // The native half of the Indexable value (defined in index/indexable.hpp).
  inline Indexable& ind_native() const noexcept;
  std::string debug_text() const;

 private:
  const PyValue& value_;
};

// An attribute value in 24 bytes: the handle, an 8-byte payload and one word for the rest (see
// Meta). What the payload holds follows from the primitive cast and the equality key:
//  - Int / Float casts, and Unknown values keyed Int or Float: the number itself;
//  - Str cast, and Unknown values keyed Text or Bytes: a pointer into the object's own immutable
//    UTF-8 or bytes, whose length the word keeps (the object is kept alive by the handle); a text
//    too long for the word's field instead has a counted box with its pointer and length;
//  - BigInt and BadText keys: an owned, counted text block shared by the copies of the value;
//  - Canonical keys: a counted box holding the representative;
//  - Identity keys (the Ind cast among them): the object's address, so that comparing two such
//    values reads neither object nor cell.
class PyValue {
 public:
  PyValue() noexcept : payload_{}, meta_(0) {}
  PyValue(PyHandle obj, NativeCastValue primitave, std::uint64_t hash, EqKey key, bool hash_failed);
  // What the constructor above makes of an exact int within 64 bits, a finite float and an exact
  // str of valid text shorter than kLongText bytes (whose hash did not fail), packed directly: most
  // values are these, and an assignment converts one each time.
  static PyValue of_int(PyHandle obj, std::int64_t value, std::uint64_t hash) noexcept {
    return PyValue(std::move(obj), Payload{.i = value}, hash, kInt, EqKey::Int, 0);
  }
  static PyValue of_float(PyHandle obj, double value, std::uint64_t hash) noexcept {
    return PyValue(std::move(obj), Payload{.f = value}, hash, kFloat, EqKey::Float, 0);
  }
  // A bool is keyed as the int it equals; None, like any object keeping object's ==, by identity.
  static PyValue of_bool(PyHandle obj, bool value) noexcept {
    return PyValue(std::move(obj), Payload{.i = value ? 1 : 0}, value ? 1 : 0, kUnknown, EqKey::Int, 0);
  }
  static PyValue of_identity(PyHandle obj, std::uint64_t hash) noexcept {
    const auto address = reinterpret_cast<std::intptr_t>(obj.get());
    return PyValue(std::move(obj), Payload{.i = address}, hash, kUnknown, EqKey::Identity, 0);
  }
  static constexpr std::size_t kLongText = (std::size_t{1} << 25) - 1;  // and longer: not of_str
  static PyValue of_str(PyHandle obj, std::string_view text, std::uint64_t hash) noexcept {
    return PyValue(std::move(obj), Payload{.text = text.data()}, hash, kStr, EqKey::Text, text.size());
  }
  // Throws std::bad_alloc when a first copy of the handle cannot allocate its cell.
  PyValue(const PyValue& other) : obj_(other.obj_), payload_(other.payload_), meta_(other.meta_) {
    if (Counted* box = counted()) box->refs.fetch_add(1, std::memory_order_relaxed);
  }
  PyValue(PyValue&& other) noexcept : obj_(std::move(other.obj_)), payload_(other.payload_), meta_(other.meta_) {
    other.forget_payload();
  }
  PyValue& operator=(const PyValue& other) {
    PyValue copy(other);
    swap(copy);
    return *this;
  }
  PyValue& operator=(PyValue&& other) noexcept {
    if (this == &other) return *this;
    drop_payload();
    obj_ = std::move(other.obj_);
    payload_ = other.payload_;
    meta_ = other.meta_;
    other.forget_payload();
    return *this;
  }
  ~PyValue() { drop_payload(); }
  friend void swap(PyValue& a, PyValue& b) noexcept { a.swap(b); }

  PyObject* obj() const noexcept { return obj_.get(); }
  const PyHandle& handle() const noexcept { return obj_; }
  CastView primitave() const noexcept { return CastView(*this); }
  // What tables key the value by: 32 bits mixed from the whole of the interpreter's hash (see
  // table_bits), or, for a value that could not be hashed (it is equal only to itself), its
  // address, so that such values spread over a table. Equal values have equal table hashes.
  std::uint64_t table_hash() const noexcept {
    return hash_failed() ? static_cast<std::uint64_t>(payload_.i) : meta_ & Meta::kHashMask;
  }
  // The 32 bits of a hash that a value keeps: the high half of a multiplicative mix, so that every
  // bit of the hash counts (ids packed as k << 32 and floats with short fractions differ only in
  // their hashes' high bits).
  static std::uint64_t table_bits(std::uint64_t hash) noexcept { return (hash * 0x9E3779B97F4A7C15ull) >> 32; }
  EqKey eq_key() const noexcept { return static_cast<EqKey>((meta_ >> Meta::kKeyShift) & 7u); }
  bool hash_failed() const noexcept { return (meta_ >> Meta::kFailedShift) != 0; }

  bool operator==(const PyValue& other) const noexcept;
  // The debug form, showing `hash`: the interpreter's hash of the value, of which the value keeps
  // only 32 bits mixed from it.
  std::string debug_text(std::uint64_t hash) const;

  // This value on another handle of the same object (a reference of its own): everything else,
  // the primitive cast, hash and equality key included, stays as it was computed.
  PyValue with_handle(PyHandle handle) const {
    PyValue copy = *this;
    copy.obj_ = std::move(handle);
    return copy;
  }
  // The representative of a Canonical value, else null.
  const std::shared_ptr<const Representative>* representative() const noexcept;

 private:
  friend class CastView;
  enum : std::uint8_t { kUnknown, kInt, kFloat, kStr, kInd };

  // The word beside the payload: the hash's table_bits (0 when it failed), the length of a
  // text view (kLongText: the view is in a LongText box), the primitive cast, the equality key and
  // the hash-failed flag. Cast kUnknown and key Identity are all-zero fields, which a moved-from
  // value falls back to, so that it owns no payload.
  struct Meta {
    static constexpr std::uint64_t kHashMask = 0xFFFFFFFFull;
    static constexpr unsigned kLengthShift = 32, kCastShift = 57, kKeyShift = 60, kFailedShift = 63;
    static constexpr std::uint64_t kLongText = (std::uint64_t{1} << 25) - 1;
    static constexpr std::uint64_t kCastKeyBits = (std::uint64_t{7} << kCastShift) | (std::uint64_t{7} << kKeyShift);
  };
  static_assert(Meta::kLongText == kLongText);
  union Payload {
    std::int64_t i;
    double f;
    const char* text;
    void* counted;
  };
  PyValue(PyHandle obj, Payload payload, std::uint64_t hash, std::uint8_t cast, EqKey key,
          std::uint64_t length) noexcept
      : obj_(std::move(obj)), payload_(payload),
        meta_(table_bits(hash) | (length << Meta::kLengthShift) | (std::uint64_t{cast} << Meta::kCastShift) |
              (std::uint64_t{static_cast<std::uint8_t>(key)} << Meta::kKeyShift)) {}
  std::uint8_t cast() const noexcept { return static_cast<std::uint8_t>((meta_ >> Meta::kCastShift) & 7u); }
  std::uint64_t length() const noexcept { return (meta_ >> Meta::kLengthShift) & Meta::kLongText; }
  void set_cast(std::uint8_t cast) noexcept {
    meta_ = (meta_ & ~(std::uint64_t{7} << Meta::kCastShift)) | (std::uint64_t{cast} << Meta::kCastShift);
  }
  void set_length(std::uint64_t length) noexcept {
    meta_ = (meta_ & ~(Meta::kLongText << Meta::kLengthShift)) | (length << Meta::kLengthShift);
  }
  // Leaves an empty value: no object, keyed by identity (address 0).
  void forget_payload() noexcept {
    meta_ &= ~Meta::kCastKeyBits;
    payload_.i = 0;
  }

  // The counted block behind a BigInt / BadText key (text after the header), a Canonical key or a
  // long text view.
  struct Counted {
    std::atomic<std::uint32_t> refs;
  };
  struct OwnedText : Counted {
    std::size_t size;
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  };
  struct RepresentativeBox : Counted {
    std::shared_ptr<const Representative> rep;
  };
  struct LongText : Counted {
    std::string_view view;
  };

  Counted* counted() const noexcept {
    switch (eq_key()) {
      case EqKey::BigInt:
      case EqKey::BadText:
      case EqKey::Canonical: return static_cast<Counted*>(payload_.counted);
      case EqKey::Text:
      case EqKey::Bytes: return length() == Meta::kLongText ? static_cast<Counted*>(payload_.counted) : nullptr;
      default: return nullptr;
    }
  }
  void drop_payload() noexcept {
    if (Counted* box = counted()) release_counted(box);
  }
  void release_counted(Counted* box) noexcept;
  void swap(PyValue& other) noexcept {
    using std::swap;
    swap(obj_, other.obj_);
    swap(payload_, other.payload_);
    swap(meta_, other.meta_);
  }

  std::int64_t key_int() const noexcept { return payload_.i; }
  double key_float() const noexcept { return payload_.f; }
  // A text view of the Str cast and of Text and Bytes keys.
  std::string_view view() const noexcept {
    if (length() == Meta::kLongText) return static_cast<const LongText*>(payload_.counted)->view;
    return std::string_view(payload_.text, static_cast<std::size_t>(length()));
  }
  std::string_view key_text() const noexcept;  // Text, Bytes, BigInt, BadText
  // Whether the equality keys alone make the two values equal (table hashes known equal).
  bool keys_equal(const PyValue& other) const noexcept;

  PyHandle obj_;
  Payload payload_;
  std::uint64_t meta_;
};
static_assert(sizeof(PyValue) == 24, "values stay three words");

bool CastView::is_int() const noexcept { return value_.cast() == PyValue::kInt; }
bool CastView::is_float() const noexcept { return value_.cast() == PyValue::kFloat; }
bool CastView::is_str() const noexcept { return value_.cast() == PyValue::kStr; }
bool CastView::is_ind() const noexcept { return value_.cast() == PyValue::kInd; }
std::int64_t CastView::as_int() const noexcept { return value_.payload_.i; }
double CastView::as_float() const noexcept { return value_.payload_.f; }
std::string_view CastView::as_str() const noexcept { return value_.view(); }
PyObject* CastView::as_ind() const noexcept { return value_.obj(); }
IndexableHandle CastView::as_ind_handle() const { return IndexableHandle::of_checked(value_.handle()); }

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
