// Value conversion: the primitive cast, the hash and the equality key of a Python object, decided
// once, under the interpreter lock, so that native code compares values as the interpreter's ==
// would without calling it.
#include "bindings/value_convert.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include <mutex>
#include <unordered_map>
#include <vector>

#include "interpreter/errors.hpp"
#include "interpreter/text.hpp"
#include "native/locks.hpp"

namespace vantorelle::py {
namespace {

// Clears a pending ordinary exception: one that a value's own __hash__ or __eq__ raised about the
// value. Leaves anything else to propagate: KeyboardInterrupt and SystemExit, and RecursionError
// and MemoryError, which say where the conversion ran (near the recursion limit, short of memory)
// rather than what the value is, so that swallowing them would key the value by accident.
// Returns normally only after clearing.
void swallow_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw_error_set();
  }
  PyErr_Clear();
}

std::shared_ptr<const Representative> representative_of(PyHandle& handle, std::uint64_t hash);

// The table of representatives, by hash, with the values of each class listed in it. Its lock
// is a leaf, held only to change or read the lists and never while the interpreter runs a value's
// __eq__; so a value's last handle (on any thread) unlinks it without the interpreter, and a
// lookup that an __eq__ re-enters sees the table whole. The table holds no reference: lookups
// compare with a member shared for the moment, so the collector sees each value only where it is
// stored.
//
// An object listed in a class stays in it: converting it again joins that class without asking
// its __eq__ (by_object). The tables compare the very same object as equal before they compare
// keys, so an object under two keys at once would make their equality intransitive, and an __eq__
// can answer differently at different times (it may raise against a class that has since gone).
struct RepresentativeTable {
  SpinLock lock;
  std::unordered_multimap<std::uint64_t, std::pair<Representative*, std::weak_ptr<const Representative>>>
      by_hash;  // guarded by lock
  struct Listing {
    Representative* rep;
    std::size_t cells;  // the object's cells linked in rep
  };
  std::unordered_map<const PyObject*, Listing> by_object;  // guarded by lock; every listed object
};

RepresentativeTable& representatives() {
  static auto* TABLE = new RepresentativeTable();  // never destroyed: values may outlive exit
  return *TABLE;
}

void unlink(PyHandle::ListedCell* cell) noexcept {
  auto* rep = static_cast<Representative*>(cell->list);
  if (rep == nullptr) return;
  if (cell->prev) cell->prev->next = cell->next; else rep->members = cell->next;
  if (cell->next) cell->next->prev = cell->prev;
  cell->prev = cell->next = nullptr;
  cell->list = nullptr;
  auto& by_object = representatives().by_object;
  auto it = by_object.find(cell->cell.obj);
  if (it != by_object.end() && it->second.rep == rep && --it->second.cells == 0) by_object.erase(it);
}

void unlink_under_lock(PyHandle::ListedCell* cell) noexcept {
  std::lock_guard lock(representatives().lock);
  unlink(cell);
}

// Whether `rep`, listed in the table, still has a reference. Call under the table's lock. Takes
// no reference: one dropped under the lock could be the last, whose deleter takes the lock.
bool alive(RepresentativeTable& table, const Representative* rep) {
  auto [first, last] = table.by_hash.equal_range(rep->hash);
  for (auto at = first; at != last; ++at) {
    if (at->second.first == rep) return !at->second.second.expired();
  }
  return false;
}

// Links `cell` in `rep` and lists its object there. An object listed in another class of the same
// hash that still lives stays there (the cell is left out); one whose class is dying, or whose
// hash has changed, moves here. Call under the table's lock. Throws std::bad_alloc (changing
// nothing) when the listing cannot be made.
void link(PyHandle::ListedCell* cell, Representative* rep) {
  RepresentativeTable& table = representatives();
  auto [it, added] = table.by_object.try_emplace(cell->cell.obj, RepresentativeTable::Listing{rep, 0});
  if (it->second.rep != rep) {
    if (it->second.rep->hash == rep->hash && alive(table, it->second.rep)) return;
    // Its class is dying, or its hash changed: the cells linked there no longer count.
    it->second = RepresentativeTable::Listing{rep, 0};
  }
  ++it->second.cells;
  cell->list = rep;
  cell->prev = nullptr;
  cell->next = rep->members;
  if (rep->members) rep->members->prev = cell;
  rep->members = cell;
}

std::shared_ptr<const Representative> make_representative(std::uint64_t hash) {
  return std::shared_ptr<const Representative>(new Representative{hash, nullptr}, [](const Representative* rep) {
    auto* mutable_rep = const_cast<Representative*>(rep);
    RepresentativeTable& table = representatives();
    {
      std::lock_guard lock(table.lock);
      auto [first, last] = table.by_hash.equal_range(rep->hash);
      for (auto it = first; it != last; ++it) {
        if (it->second.first == rep) {
          table.by_hash.erase(it);
          break;
        }
      }
      while (mutable_rep->members) unlink(mutable_rep->members);
    }
    delete rep;
  });
}

// The live class of hash `hash` that lists `obj`, if any: an object whose hash changed since it
// was listed belongs with the classes of its new hash. Call under the table's lock; the caller
// drops what it gets only after releasing it (the class's last reference takes the lock).
std::shared_ptr<const Representative> listing_of(RepresentativeTable& table, const PyObject* obj, std::uint64_t hash) {
  auto it = table.by_object.find(obj);
  if (it == table.by_object.end() || it->second.rep->hash != hash) return nullptr;
  auto [first, last] = table.by_hash.equal_range(it->second.rep->hash);
  for (auto at = first; at != last; ++at) {
    if (at->second.first == it->second.rep) return at->second.second.lock();
  }
  return nullptr;
}

// The representative of the class of the value held by `handle` (hash `hash`), with `handle`
// replaced by one on a cell listed in that class. An object already listed joins its class again.
// Otherwise the interpreter's == decides against one member of each class of that hash; one that
// raises an ordinary exception counts as unequal (the member's __eq__ runs first, so either side
// may be the one that fails), and a value equal to no class founds one.
std::shared_ptr<const Representative> representative_of(PyHandle& handle, std::uint64_t hash) {
  static const bool HOOKED = (PyHandle::set_unlink_hook(unlink_under_lock), true);
  (void)HOOKED;
  RepresentativeTable& table = representatives();
  // The classes compared so far, kept alive so that their addresses cannot come back as others;
  // dropped at the end, after the lock.
  std::vector<std::shared_ptr<const Representative>> compared;
  auto is_compared = [&](const Representative* rep) {
    return std::any_of(compared.begin(), compared.end(), [&](const auto& seen) { return seen.get() == rep; });
  };
  // A class of this hash made while __eq__ ran may be this value's: it is compared in another
  // round (only the new classes are). An __eq__ that makes one every time it runs, or threads
  // that keep making them, must not hold the conversion for good: after this many rounds the
  // value founds a class of its own even so.
  constexpr int kRounds = 8;
  for (int round = 1;; ++round) {
    std::vector<std::pair<std::shared_ptr<const Representative>, PyHandle>> candidates;
    std::shared_ptr<const Representative> found;
    {
      std::lock_guard lock(table.lock);
      found = listing_of(table, handle.get(), hash);
      auto [first, last] = table.by_hash.equal_range(hash);
      for (auto it = first; it != last && !found; ++it) {
        if (is_compared(it->second.first)) continue;
        std::shared_ptr<const Representative> live = it->second.second.lock();
        if (!live) continue;
        for (PyHandle::ListedCell* member = it->second.first->members; member; member = member->next) {
          if (PyHandle shared = PyHandle::try_share(member)) {
            candidates.emplace_back(std::move(live), std::move(shared));
            break;
          }
        }
        if (live) compared.push_back(std::move(live));  // no member to compare with: none to join
      }
    }
    for (auto& [candidate, member] : candidates) {
      compared.push_back(candidate);
      if (found) continue;
      // CAUTION: runs the values' own __eq__, which may re-enter the module.
      int equal = PyObject_RichCompareBool(member.get(), handle.get(), Py_EQ);
      if (equal < 0) swallow_ordinary_error();
      if (equal == 1) found = candidate;
    }
    candidates.clear();
    bool new_class = !found;
    std::shared_ptr<const Representative> rep = new_class ? make_representative(hash) : std::move(found);
    PyHandle listed = PyHandle::listed_copy_of(handle);
    std::shared_ptr<const Representative> listed_elsewhere;  // dropped after the lock
    {
      std::lock_guard lock(table.lock);
      // The same object converted on another thread meanwhile: one class for it.
      listed_elsewhere = listing_of(table, handle.get(), hash);
      if (listed_elsewhere && listed_elsewhere != rep) {
        std::swap(rep, listed_elsewhere);
        new_class = false;
      } else if (new_class && round < kRounds) {
        auto [first, last] = table.by_hash.equal_range(hash);
        if (std::any_of(first, last, [&](const auto& entry) {
              return !is_compared(entry.second.first) && !entry.second.second.expired();
            })) {
          continue;
        }
      }
      if (new_class) {
        table.by_hash.emplace(hash, std::make_pair(const_cast<Representative*>(rep.get()),
                                                   std::weak_ptr<const Representative>(rep)));
      }
      link(listed.listed_cell(), const_cast<Representative*>(rep.get()));
    }
    handle = std::move(listed);
    return rep;
  }
}

// Types whose == and hash are those of `base`, which the index compares natively.
bool keeps_equality_of(PyTypeObject* type, PyTypeObject* base) {
  return type->tp_richcompare == base->tp_richcompare && type->tp_hash == base->tp_hash &&
         PyType_IsSubtype(type, base);
}

// Numeric key of an int object (exact or a subclass): Int, or BigInt with its base-16 text.
void key_of_int(PyObject* obj, EqKey& key, NativeCastValue& primitave, bool exact) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
    if (exact) {
      primitave.v = NativeCastValue::Int{value};
    } else {
      primitave.v = NativeCastValue::Unknown{std::int64_t{value}};
    }
    key = EqKey::Int;
    return;
  }
  PyErr_Clear();
  OwnedRef hex = OwnedRef::steal(PyNumber_ToBase(obj, 16));
  std::optional<std::string_view> text = hex ? utf8_view_or_none(hex.get()) : std::nullopt;
  PyErr_Clear();
  if (!text) return;
  primitave.v = NativeCastValue::Unknown{std::string(*text)};
  key = EqKey::BigInt;
}

// Text key of a str object (exact or a subclass): a view of its UTF-8, or BadText.
void key_of_str(PyObject* obj, EqKey& key, NativeCastValue& primitave, bool exact) {
  if (std::optional<std::string_view> text = utf8_view_or_none(obj)) {
    if (exact) {
      primitave.v = NativeCastValue::Str{*text};
    } else {
      primitave.v = NativeCastValue::Unknown{*text};
    }
    key = EqKey::Text;
    return;
  }
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  PyErr_Clear();
  if (!bytes) return;
  primitave.v = NativeCastValue::Unknown{
      std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())))};
  key = EqKey::BadText;
}

// Whether `obj == other` by the interpreter; an ordinary exception counts as false.
bool equals(PyObject* obj, PyObject* other) {
  int equal = PyObject_RichCompareBool(obj, other, Py_EQ);
  if (equal < 0) {
    swallow_ordinary_error();
    return false;
  }
  return equal == 1;
}

// A number of another type that equals an int or a float (numpy scalars, Decimal(1),
// Fraction(1, 2)): keyed as that int or float. False when it equals neither.
bool key_of_number(PyObject* obj, EqKey& key, NativeCastValue& primitave) {
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr) return false;
  if (number->nb_index != nullptr) {
    OwnedRef as_int = OwnedRef::steal(PyNumber_Index(obj));
    if (!as_int) {
      swallow_ordinary_error();
    } else if (equals(obj, as_int.get())) {
      key_of_int(as_int.get(), key, primitave, false);
      return key != EqKey::Identity;
    }
  }
  if (number->nb_float != nullptr) {
    OwnedRef as_float = OwnedRef::steal(PyNumber_Float(obj));
    if (!as_float) {
      swallow_ordinary_error();
    } else if (equals(obj, as_float.get())) {
      primitave.v = NativeCastValue::Unknown{PyFloat_AS_DOUBLE(as_float.get())};
      key = EqKey::Float;
      return true;
    }
  }
  if (number->nb_int != nullptr) {
    OwnedRef as_int = OwnedRef::steal(PyNumber_Long(obj));
    if (!as_int) {
      swallow_ordinary_error();
    } else if (equals(obj, as_int.get())) {
      key_of_int(as_int.get(), key, primitave, false);
      return key != EqKey::Identity;
    }
  }
#if PY_VERSION_HEX < 0x030B0000
  // Before 3.11 a Fraction has no __int__, and beyond 2**53 its float is not the int it may equal;
  // its __trunc__ gives that int.
  if (number->nb_int == nullptr && number->nb_index == nullptr &&
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__trunc__")) {
    OwnedRef as_int = OwnedRef::steal(PyObject_CallMethod(obj, "__trunc__", nullptr));
    if (!as_int) {
      swallow_ordinary_error();
    } else if (PyLong_Check(as_int.get()) && equals(obj, as_int.get())) {
      key_of_int(as_int.get(), key, primitave, false);
      return key != EqKey::Identity;
    }
  }
#endif
  return false;
}

// The equality key of a hashable object that is not an exact int, float, str or bool, nor an
// Indexable.
void key_of_other(PyHandle& handle, std::uint64_t hash, EqKey& key, NativeCastValue& primitave) {
  PyObject* obj = handle.get();
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_richcompare == PyBaseObject_Type.tp_richcompare) return;  // identity, as object.__eq__
  if (keeps_equality_of(type, &PyLong_Type)) return key_of_int(obj, key, primitave, false);
  if (keeps_equality_of(type, &PyFloat_Type)) {
    primitave.v = NativeCastValue::Unknown{PyFloat_AS_DOUBLE(obj)};
    key = EqKey::Float;
    return;
  }
  if (keeps_equality_of(type, &PyUnicode_Type)) return key_of_str(obj, key, primitave, false);
  if (keeps_equality_of(type, &PyBytes_Type)) {
    primitave.v = NativeCastValue::Unknown{
        std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)))};
    key = EqKey::Bytes;
    return;
  }
  // A str or bytes of a subclass with an == of its own meets plain text or bytes where that ==
  // says so.
  if (PyUnicode_Check(obj)) {
    OwnedRef plain = OwnedRef::steal(PyUnicode_FromObject(obj));
    if (!plain) {
      swallow_ordinary_error();
    } else if (equals(obj, plain.get())) {
      return key_of_str(obj, key, primitave, false);
    }
  } else if (PyBytes_Check(obj)) {
    OwnedRef plain = OwnedRef::steal(
        PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj)));
    if (!plain) {
      swallow_ordinary_error();
    } else if (equals(obj, plain.get())) {
      primitave.v = NativeCastValue::Unknown{
          std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)))};
      key = EqKey::Bytes;
      return;
    }
  }
  if (keeps_equality_of(type, &PyComplex_Type)) {
    Py_complex c = PyComplex_AsCComplex(obj);
    if (c.imag == 0.0) {
      primitave.v = NativeCastValue::Unknown{c.real};
      key = EqKey::Float;
      return;
    }
  } else if (key_of_number(obj, key, primitave)) {
    return;
  }
  if (std::shared_ptr<const Representative> rep = representative_of(handle, hash)) {
    primitave.v = NativeCastValue::Unknown{std::move(rep)};
    key = EqKey::Canonical;
  }
}

// The interpreter's hash of a finite float, computed from its bits: the value M * 2^E (M its 53-bit
// integer significand) reduced modulo the prime 2^61 - 1, where multiplying by 2^E is a rotation of
// 61 bits since 2^61 is 1, then signed, with -1 taken as -2. Equal to the interpreter's, which
// reduces the same number in 28-bit steps, without its floating-point loop.
Py_hash_t finite_float_hash(double v) noexcept {
  static_assert(_PyHASH_BITS == 61, "the rotation below assumes the 61-bit modulus");
  constexpr std::uint64_t kModulus = _PyHASH_MODULUS;
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const auto biased = static_cast<std::int32_t>((bits >> 52) & 0x7FF);
  std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
  std::int32_t exponent = -1074;
  if (biased != 0) {
    significand |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  if (significand == 0) return 0;
  const std::int32_t r = exponent >= 0 ? exponent % 61 : 60 - ((-1 - exponent) % 61);
  std::uint64_t x = r == 0 ? significand : ((significand << r) & kModulus) | (significand >> (61 - r));
  if ((bits >> 63) != 0) x = std::uint64_t{0} - x;
  auto hash = static_cast<Py_hash_t>(x);
  return hash == -1 ? -2 : hash;
}

}  // namespace

PyValue make_value(OwnedRef owned, std::uint64_t* full_hash) {
  PyObject* obj = owned.get();
  PyTypeObject* type = Py_TYPE(obj);
  // The commonest values, packed directly; the same values as the general path below makes.
  // None of these types runs Python code to hash, and their hashes cannot fail.
  if (type == &PyFloat_Type) {
    const double value = PyFloat_AS_DOUBLE(obj);
    if (std::isfinite(value)) {
      const auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(finite_float_hash(value)));
      if (full_hash != nullptr) *full_hash = hash;
      return PyValue::of_float(PyHandle::take(std::move(owned)), value, hash);
    }
  } else if (type == &PyLong_Type) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
      const auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(PyLong_Type.tp_hash(obj)));
      if (full_hash != nullptr) *full_hash = hash;
      return PyValue::of_int(PyHandle::take(std::move(owned)), value, hash);
    }
    PyErr_Clear();
  } else if (type == &PyUnicode_Type) {
    std::optional<std::string_view> text = utf8_view_or_none(obj);
    if (text && text->size() < PyValue::kLongText) {
      const auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(PyUnicode_Type.tp_hash(obj)));
      if (full_hash != nullptr) *full_hash = hash;
      return PyValue::of_str(PyHandle::take(std::move(owned)), *text, hash);
    }
  } else if (type == &PyBool_Type) {
    if (full_hash != nullptr) *full_hash = obj == Py_True ? 1 : 0;
    return PyValue::of_bool(PyHandle::take(std::move(owned)), obj == Py_True);
  } else if (obj == Py_None) {
    const auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(Py_TYPE(obj)->tp_hash(obj)));
    if (full_hash != nullptr) *full_hash = hash;
    return PyValue::of_identity(PyHandle::take(std::move(owned)), hash);
  }
  NativeCastValue primitave;
  EqKey key = EqKey::Identity;
  bool decided = true;
  bool indexable = false;

  if (type == &PyLong_Type) {
    key_of_int(obj, key, primitave, true);
  } else if (type == &PyFloat_Type) {
    primitave.v = NativeCastValue::Float{PyFloat_AS_DOUBLE(obj)};
    key = EqKey::Float;
  } else if (type == &PyUnicode_Type) {
    key_of_str(obj, key, primitave, true);
  } else if (type == &PyBool_Type) {
    primitave.v = NativeCastValue::Unknown{std::int64_t{obj == Py_True ? 1 : 0}};
    key = EqKey::Int;
  } else if (obj == Py_None) {
  } else if (PyType_IsSubtype(type, indexable_type())) {
    indexable = true;
  } else {
    decided = false;
  }

  bool hash_failed = false;
  // CAUTION: runs the value's own __hash__. An Indexable matches only itself, so it is keyed by
  // identity: a subclass's __hash__ may follow attributes that change while the value is stored.
  Py_hash_t raw;
  if (indexable) {
    raw = PyBaseObject_Type.tp_hash(obj);
  } else if (type == &PyFloat_Type && std::isfinite(PyFloat_AS_DOUBLE(obj))) {
    raw = finite_float_hash(PyFloat_AS_DOUBLE(obj));
  } else {
    raw = PyObject_Hash(obj);
  }
  if (raw == -1 && PyErr_Occurred()) {
    swallow_ordinary_error();
    raw = 0;
    hash_failed = true;
  }
  auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw));
  if (full_hash != nullptr) *full_hash = hash;

  PyHandle handle = PyHandle::take(std::move(owned));
  // CAUTION: may run the value's own __eq__, __index__, __float__ and __int__.
  if (!decided && !hash_failed) key_of_other(handle, hash, key, primitave);
  if (indexable) primitave.v = NativeCastValue::Ind{};
  return PyValue(std::move(handle), std::move(primitave), hash, key, hash_failed);
}

PyValue clone_value(const PyValue& value) {
  PyHandle handle = PyHandle::take(OwnedRef::incref(value.obj()));
  if (const auto* rep = value.representative()) {
    handle = PyHandle::listed_copy_of(handle);
    std::lock_guard lock(representatives().lock);
    link(handle.listed_cell(), const_cast<Representative*>(rep->get()));
  }
  return value.with_handle(std::move(handle));
}

AttrName attr_name_of(PyObject* name) {
  if (std::optional<std::string_view> text = utf8_or_error(name)) return AttrName(*text);
  OwnedRef cause = OwnedRef::steal(fetch_exception());
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(
      "attribute name %R is not valid text: names with lone surrogates cannot be stored", name));
  if (!message) throw_error_set();
  raise_caused_by(PyExc_ValueError, message.get(), cause.release());
}

}  // namespace vantorelle::py
