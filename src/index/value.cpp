#include "index/value.hpp"

#include "native/failure.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace vantorelle {

namespace {

bool is_numeric(EqKey k) noexcept { return k == EqKey::Int || k == EqKey::BigInt || k == EqKey::Float; }

// The text Python's hex() gives for an integral double of magnitude at least 2^63.
std::string hex_of_integral_double(double value) {
  int exponent = 0;
  double fraction = std::frexp(std::fabs(value), &exponent);  // |value| = fraction * 2^exponent
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int shift = exponent - 53;  // >= 11 for |value| >= 2^63
  // Bits of mantissa << shift, most significant first, grouped into hex digits from the right.
  std::string bits;
  for (int b = 52; b >= 0; --b) bits.push_back(((mantissa >> b) & 1) ? '1' : '0');
  bits.append(static_cast<std::size_t>(shift), '0');
  while (bits.size() % 4 != 0) bits.insert(bits.begin(), '0');
  std::string hex = value < 0 ? "-0x" : "0x";
  bool leading = true;
  for (std::size_t i = 0; i < bits.size(); i += 4) {
    int digit = (bits[i] - '0') * 8 + (bits[i + 1] - '0') * 4 + (bits[i + 2] - '0') * 2 + (bits[i + 3] - '0');
    if (leading && digit == 0) continue;
    leading = false;
    hex.push_back("0123456789abcdef"[digit]);
  }
  return hex;
}

// An int64 against a double, exactly: no rounding of the integer through double.
bool int_equals_float(std::int64_t i, double f) noexcept {
  if (!std::isfinite(f) || f != std::trunc(f)) return false;
  if (f < -9223372036854775808.0 || f >= 9223372036854775808.0) return false;
  return static_cast<std::int64_t>(f) == i;
}

// A big integer (base-16 text) against a double.
bool big_equals_float(std::string_view hex, double f) {
  if (!std::isfinite(f) || f != std::trunc(f) || std::fabs(f) < 9223372036854775808.0) return false;
  return hex_of_integral_double(f) == hex;
}

}  // namespace

PyValue::PyValue(PyHandle obj, NativeCastValue primitave, std::uint64_t hash, EqKey key, bool hash_failed)
    : obj_(std::move(obj)), payload_{},
      meta_(table_bits(hash) | (std::uint64_t{static_cast<std::uint8_t>(key)} << Meta::kKeyShift) |
            (std::uint64_t{hash_failed ? 1u : 0u} << Meta::kFailedShift)) {
  if (hash_failed) meta_ &= ~Meta::kHashMask;
  auto set_text = [&](std::string_view text) {
    if (text.size() < Meta::kLongText) {
      payload_.text = text.data();
      set_length(text.size());
      return;
    }
    if (eq_key() != EqKey::Text && eq_key() != EqKey::Bytes) fail("value conversion: a text view under another key");
    auto* box = new LongText{};
    box->refs.store(1, std::memory_order_relaxed);
    box->view = text;
    payload_.counted = box;
    set_length(Meta::kLongText);
  };
  struct Packer {
    PyValue& self;
    decltype(set_text)& text;
    void operator()(const NativeCastValue::Int& x) const {
      self.set_cast(kInt);
      self.payload_.i = x.value;
    }
    void operator()(const NativeCastValue::Float& x) const {
      self.set_cast(kFloat);
      self.payload_.f = x.value;
    }
    void operator()(const NativeCastValue::Str& x) const {
      self.set_cast(kStr);
      text(x.text);
    }
    void operator()(const NativeCastValue::Ind&) const { self.set_cast(kInd); }
    void operator()(NativeCastValue::Unknown& x) const {
      self.set_cast(kUnknown);
      if (auto* i = std::get_if<std::int64_t>(&x.key)) {
        self.payload_.i = *i;
      } else if (auto* f = std::get_if<double>(&x.key)) {
        self.payload_.f = *f;
      } else if (auto* view = std::get_if<std::string_view>(&x.key)) {
        text(*view);
      } else if (auto* owned = std::get_if<std::string>(&x.key)) {
        // The key names what the payload holds: the destructor reads it from the key alone.
        if (self.eq_key() != EqKey::BigInt && self.eq_key() != EqKey::BadText) fail("value conversion: owned text under another key");
        void* block = ::operator new(sizeof(OwnedText) + owned->size());
        auto* header = new (block) OwnedText{};
        header->refs.store(1, std::memory_order_relaxed);
        header->size = owned->size();
        std::memcpy(static_cast<char*>(block) + sizeof(OwnedText), owned->data(), owned->size());
        self.payload_.counted = header;
      } else if (auto* rep = std::get_if<std::shared_ptr<const Representative>>(&x.key)) {
        if (self.eq_key() != EqKey::Canonical) fail("a representative under another key");
        auto* box = new RepresentativeBox{};
        box->refs.store(1, std::memory_order_relaxed);
        box->rep = std::move(*rep);
        self.payload_.counted = box;
      }
    }
  };
  std::visit(Packer{*this, set_text}, primitave.v);
  if (eq_key() == EqKey::Identity) {
    // A failed hash leaves the value keyed by identity too (the table hash is then the address).
    if (cast() != kUnknown && cast() != kInd) fail("value conversion: an identity key under a primitive cast");
    payload_.i = reinterpret_cast<std::intptr_t>(obj_.get());
  }
}

void PyValue::release_counted(Counted* box) noexcept {
  if (box->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (eq_key() == EqKey::Canonical) {
    delete static_cast<RepresentativeBox*>(box);
  } else if (eq_key() == EqKey::Text || eq_key() == EqKey::Bytes) {
    delete static_cast<LongText*>(box);
  } else {
    auto* text = static_cast<OwnedText*>(box);
    text->~OwnedText();
    ::operator delete(text);
  }
}

std::string_view PyValue::key_text() const noexcept {
  EqKey key = eq_key();
  if (key == EqKey::BigInt || key == EqKey::BadText) {
    const auto* text = static_cast<const OwnedText*>(payload_.counted);
    return std::string_view(text->data(), text->size);
  }
  return view();
}

const std::shared_ptr<const Representative>* PyValue::representative() const noexcept {
  if (eq_key() != EqKey::Canonical) return nullptr;
  return &static_cast<const RepresentativeBox*>(payload_.counted)->rep;
}

// The keys decide before the objects are compared: reading a shared handle's object reads its cell,
// and a table's keys are all shared.
bool PyValue::operator==(const PyValue& other) const noexcept {
  EqKey a = eq_key(), b = other.eq_key();
  if (a == EqKey::Identity && b == EqKey::Identity) return payload_.i == other.payload_.i;
  if (obj_.same_cell(other.obj_)) return true;
  if (table_hash() == other.table_hash() && keys_equal(other)) return true;
  // The very same object under two keys (its hash changed between conversions), or a NaN.
  return obj() == other.obj();
}

bool PyValue::keys_equal(const PyValue& other) const noexcept {
  EqKey a = eq_key(), b = other.eq_key();
  if (is_numeric(a) && is_numeric(b)) {
    if (a == EqKey::Int && b == EqKey::Int) return key_int() == other.key_int();
    if (a == EqKey::Float && b == EqKey::Float) return key_float() == other.key_float();
    if (a == EqKey::Int && b == EqKey::Float) return int_equals_float(key_int(), other.key_float());
    if (a == EqKey::Float && b == EqKey::Int) return int_equals_float(other.key_int(), key_float());
    if (a == EqKey::BigInt && b == EqKey::BigInt) return key_text() == other.key_text();
    if (a == EqKey::BigInt && b == EqKey::Float) return big_equals_float(key_text(), other.key_float());
    if (a == EqKey::Float && b == EqKey::BigInt) return big_equals_float(other.key_text(), key_float());
    return false;  // a 64-bit int never equals a wider one
  }
  if (a != b) return false;
  switch (a) {
    case EqKey::Text:
    case EqKey::BadText:
    case EqKey::Bytes: return key_text() == other.key_text();
    case EqKey::Canonical: return representative()->get() == other.representative()->get();
    default: return false;  // Identity: equal only to itself
  }
}

std::string debug_address(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "Py(0x%llx)", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
  return buffer;
}

std::string debug_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  double magnitude = std::fabs(value);
  char buffer[64];
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, end);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string text(buffer, end);
  // to_chars writes "1e+16" / "1.5e-05"; the debug form is "1e16" / "1.5e-5".
  std::size_t e = text.find('e');
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = exponent[0] == '-';
  std::size_t digits = exponent.find_first_not_of("+-0");
  return mantissa + "e" + (negative ? "-" : "") + (digits == std::string::npos ? "0" : exponent.substr(digits));
}

namespace {

bool printable(char32_t c) {
  if (c < 0x20 || c == 0x7F) return false;
  if (c >= 0x80 && c < 0xA0) return false;
  if (c == 0xAD || c == 0x2028 || c == 0x2029 || (c >= 0x200B && c <= 0x200F) || c == 0xFEFF) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  return true;
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t len = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    if (i + len > text.size()) len = text.size() - i;
    char32_t c = len == 1 ? byte : byte & (0x3F >> (len - 1));
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(c)) {
          out.append(text.substr(i, len));
        } else {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
          out += buffer;
        }
    }
    i += len;
  }
  return out + "\"";
}

std::string CastView::debug_text() const {
  if (is_int()) return "Int(" + std::to_string(as_int()) + ")";
  if (is_float()) return "Float(" + debug_float(as_float()) + ")";
  if (is_str()) return "Str(" + debug_quoted(as_str()) + ")";
  if (is_ind()) return "Ind(" + debug_address(as_ind()) + ")";
  return "Unknown";
}

std::string PyValue::debug_text(std::uint64_t hash) const {
  return "PyValue { obj: " + debug_address(obj_.get()) + ", primitave: " + primitave().debug_text() +
         ", hash: " + std::to_string(hash) + " }";
}

}  // namespace vantorelle
