// BitMapBTree against a std::set of (number, id) ordered by exact arithmetic, so the model owes
// nothing to the key encoding. Single inserts and removals meet bulk runs (ascending,
// descending, one number under many ids) that reach splits, recentering and emptied leaves
// within short inputs. After every change the tree must verify() and agree with the model on its
// size and ids; every range query, with bounds on stored numbers or anywhere, must answer what
// the model answers.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "exact_order.hpp"
#include "fuzz_input.hpp"
#include "fuzz_numbers.hpp"
#include "native/bitmap_btree.hpp"

namespace vantorelle::fuzz {
namespace {

constexpr const char* kTarget = "fuzz_bitmap_btree";
// Runs long enough to fill a few nodes of kFanOut slots, short enough to keep inputs fast.
constexpr uint32_t kMaxRun = 640;

struct Entry {
  NumericValue number;
  uint32_t id;
};

struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const {
    const int c = exact_compare(a.number, b.number);
    return c != 0 ? c < 0 : a.id < b.id;
  }
};

using Model = std::set<Entry, EntryLess>;

// Ids crowd into 0..63 so that numbers share ids; now and then anywhere in 32 bits.
uint32_t read_id(FuzzInput& in) {
  const uint8_t b = in.byte();
  return b < 240 ? b % 64 : in.bits<uint32_t>();
}

// The same number as the other kind when that is exact: 3 and 3.0 are one key.
NumericValue other_kind(NumericValue v) {
  if (v.kind == NumericValue::Kind::Int) {
    const auto d = static_cast<double>(v.i);
    return d < 0x1p63 && static_cast<int64_t>(d) == v.i ? F(d) : v;
  }
  if (std::isfinite(v.f) && v.f == std::trunc(v.f) && v.f >= -0x1p63 && v.f < 0x1p63) {
    return I(static_cast<int64_t>(v.f));
  }
  return v;
}

const Entry& entry_at(const Model& model, size_t position) {
  auto it = model.begin();
  std::advance(it, position % model.size());
  return *it;
}

class Checked {
 public:
  void insert(NumericValue v, uint32_t id) {
    const bool fresh = model_.insert({v, id}).second;
    if (tree_.insert(v, id) != fresh) fuzz_fail(kTarget, fresh ? "a new pair was refused" : "a pair went in twice");
  }
  void remove(NumericValue v, uint32_t id) {
    const bool present = model_.erase({v, id}) == 1;
    if (tree_.remove(v, id) != present) {
      fuzz_fail(kTarget, present ? "a stored pair was not removed" : "an absent pair was removed");
    }
  }
  const Model& model() const { return model_; }

  void check_state() const {
    if (std::string broken = tree_.verify(); !broken.empty()) fuzz_fail(kTarget, "verify: " + broken);
    if (tree_.size() != model_.size()) fuzz_fail(kTarget, "size differs from the model");
    if (tree_.empty() != model_.empty()) fuzz_fail(kTarget, "empty() differs from the model");
    Bitmap ids;
    for (const Entry& e : model_) ids.add(e.id);
    if (!(tree_.ids() == ids)) fuzz_fail(kTarget, "ids() differs from the model");
  }

  void check_query(const Bound& lower, const Bound& upper, const Bitmap& universe) const {
    Bitmap want;
    for (const Entry& e : model_) {
      if (within(e.number, lower, true) && within(e.number, upper, false) && universe.contains(e.id)) want.add(e.id);
    }
    const Bitmap got = tree_.query_range(lower, upper, universe);
    if (!(got == want)) {
      fuzz_fail(kTarget, "range query answered " + std::to_string(got.cardinality()) + " ids, model " +
                             std::to_string(want.cardinality()));
    }
  }

 private:
  BitMapBTree tree_;
  Model model_;
};

NumericValue read_bound_number(FuzzInput& in, const Model& model) {
  if (!model.empty() && in.byte() % 2) {
    const NumericValue v = entry_at(model, in.bits<uint16_t>()).number;
    return in.byte() % 2 ? other_kind(v) : v;
  }
  return read_number(in, true);
}

Bound read_bound(FuzzInput& in, const Model& model) {
  switch (in.byte() % 3) {
    case 0: return Bound::included(read_bound_number(in, model));
    case 1: return Bound::excluded(read_bound_number(in, model));
    default: return Bound::unbounded();
  }
}

Bitmap read_universe(FuzzInput& in, const Model& model) {
  Bitmap universe;
  switch (in.byte() % 4) {
    case 0:  // every stored id and then some
      for (const Entry& e : model) universe.add(e.id);
      universe.add(read_id(in));
      break;
    case 1: {  // a scattered part of the stored ids
      const uint32_t salt = in.byte();
      for (const Entry& e : model) {
        if (((e.id ^ salt) * 2654435761u) >> 31) universe.add(e.id);
      }
      break;
    }
    case 2:
      universe.add(read_id(in));
      break;
    default:
      break;  // empty
  }
  return universe;
}

// Ascending, descending and constant numbers, in whole or half steps, under consecutive ids.
void insert_run(FuzzInput& in, Checked& c) {
  const NumericValue start = read_number(in, true);
  const uint32_t first_id = read_id(in);
  const uint32_t count = 1 + in.bits<uint16_t>() % kMaxRun;
  const uint8_t shape = in.byte() % 4;
  const bool as_float = start.kind == NumericValue::Kind::Float;
  for (uint32_t k = 0; k < count; ++k) {
    NumericValue v = start;
    if (shape != 0) {
      const int64_t step = shape == 1 ? k : shape == 2 ? -int64_t(k) : int64_t(k / 2);
      if (as_float) {
        const double d = start.f + (shape == 3 ? step * 0.5 : double(step));
        v = F(std::isnan(d) ? std::copysign(kNaN, d) : d);
      } else {
        // Wrapping arithmetic: a run may cross the ends of int64.
        v = I(static_cast<int64_t>(static_cast<uint64_t>(start.i) + static_cast<uint64_t>(step)));
      }
    }
    c.insert(v, first_id + k);
  }
}

// A stretch of stored entries in order, all of them or every other one.
void remove_run(FuzzInput& in, Checked& c) {
  if (c.model().empty()) return;
  const size_t position = in.bits<uint16_t>() % c.model().size();
  const uint32_t count = 1 + in.bits<uint16_t>() % kMaxRun;
  const uint32_t stride = 1 + in.byte() % 2;
  std::vector<Entry> doomed;
  auto it = c.model().begin();
  std::advance(it, position);
  for (uint32_t k = 0; it != c.model().end() && doomed.size() < count; ++it, ++k) {
    if (k % stride == 0) doomed.push_back(*it);
  }
  for (const Entry& e : doomed) c.remove(other_kind(e.number), e.id);
}

void run(FuzzInput& in) {
  Checked c;
  while (!in.done()) {
    switch (in.byte() % 7) {
      case 0:
      case 1: {
        const NumericValue v = read_number(in, true);
        c.insert(v, read_id(in));
        break;
      }
      case 2: {
        const NumericValue v = read_number(in, true);
        c.remove(v, read_id(in));
        break;
      }
      case 3: {
        if (c.model().empty()) break;
        const Entry e = entry_at(c.model(), in.bits<uint16_t>());
        c.remove(in.byte() % 2 ? other_kind(e.number) : e.number, e.id);
        break;
      }
      case 4:
        insert_run(in, c);
        break;
      case 5:
        remove_run(in, c);
        break;
      default: {
        const Bound lower = read_bound(in, c.model());
        const Bound upper = read_bound(in, c.model());
        c.check_query(lower, upper, read_universe(in, c.model()));
        break;
      }
    }
    c.check_state();
  }
  // The whole range last, so every input also checks that nothing stored is lost.
  Bitmap every;
  for (const Entry& e : c.model()) every.add(e.id);
  c.check_query(Bound::unbounded(), Bound::unbounded(), every);
}

}  // namespace
}  // namespace vantorelle::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vantorelle::fuzz::FuzzInput in(data, size);
  try {
    vantorelle::fuzz::run(in);
  } catch (const std::exception& e) {
    vantorelle::fuzz::fuzz_fail(vantorelle::fuzz::kTarget, std::string("exception: ") + e.what());
  }
  return 0;
}
