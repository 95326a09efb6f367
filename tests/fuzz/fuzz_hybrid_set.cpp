// HybridSet against a model that fixes, for each of three sets, its form and its ids in the
// order the set must list them: the small form lists ids in the order they came, the sorted and
// bitmap forms ascending. Which of the two ascending forms a growing set takes depends on its
// block's room, so where the model says ascending it takes the set's own choice of the two. Every operation runs on both; afterwards each set must verify(), have the model's
// form and list exactly the model's ids.
#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "native/hybrid_set.hpp"

namespace vantorelle::fuzz {
namespace {

constexpr const char* kTarget = "fuzz_hybrid_set";

enum class Form { Empty, Small, Sorted, Bitmap };

struct Model {
  Form form = Form::Empty;
  std::vector<uint32_t> ids;  // in listing order
  std::set<uint32_t> members;  // the same ids, for lookups

  static Model of(Form form, std::vector<uint32_t> ids) {
    Model m{form, std::move(ids), {}};
    m.members.insert(m.ids.begin(), m.ids.end());
    return m;
  }
  bool contains(uint32_t id) const { return members.count(id) == 1; }
  void push(uint32_t id) {
    if (members.insert(id).second) ids.push_back(id);
  }
  void become(Form ascending) {
    form = ascending;
    ids.assign(members.begin(), members.end());
  }
};

Form form_of(const HybridSet& s) {
  return s.is_empty_form() ? Form::Empty : s.is_small() ? Form::Small : s.is_sorted() ? Form::Sorted : Form::Bitmap;
}

bool ascending(Form form) { return form == Form::Sorted || form == Form::Bitmap; }

void model_add(Model& m, uint32_t id) {
  if (m.form == Form::Empty) m.form = Form::Small;
  if (m.contains(id)) return;
  m.push(id);
  if (m.form == Form::Bitmap || m.ids.size() > HybridSet::kSortedCapacity) {
    m.become(Form::Bitmap);
  } else if (m.form == Form::Sorted || m.ids.size() > HybridSet::kSmallCapacity) {
    m.become(Form::Sorted);
  }
}

// Where both say ascending, the model takes the set's form; forms never move back.
void adopt_ascending_form(const HybridSet& s, Model& m, size_t which) {
  const Form form = form_of(s);
  if (!ascending(m.form) || !ascending(form)) return;
  if (m.form == Form::Bitmap && form == Form::Sorted) {
    fuzz_fail(kTarget, "set " + std::to_string(which) + ": a bitmap went back to the sorted form");
  }
  m.form = form;
}

void model_remove(Model& m, uint32_t id) {
  if (m.members.erase(id) == 1) std::erase(m.ids, id);
}

void model_or(Model& m, const Model& other, bool same) {
  if (same || other.form == Form::Empty) return;
  if (m.form == Form::Empty) {
    m = other;
    return;
  }
  if (m.form == Form::Bitmap || other.form == Form::Bitmap) {
    for (uint32_t id : other.ids) m.push(id);
    m.become(Form::Bitmap);
    return;
  }
  for (uint32_t id : other.ids) model_add(m, id);
}

void model_and(Model& m, const Model& other, bool same) {
  if (same) {
    if (m.form == Form::Empty) m.form = Form::Small;
    return;
  }
  if (m.form == Form::Empty || other.form == Form::Empty) {
    m = Model::of(Form::Small, {});
    return;
  }
  std::erase_if(m.ids, [&](uint32_t id) { return !other.contains(id); });
  m.members = std::set<uint32_t>(m.ids.begin(), m.ids.end());
  if (m.form == Form::Small && other.form == Form::Bitmap) m.become(Form::Bitmap);
}

// Ids crowd into 0..15 so that sets overlap; now and then anywhere in 32 bits.
uint32_t read_id(FuzzInput& in) {
  const uint8_t b = in.byte();
  return b < 224 ? b % 16 : in.bits<uint32_t>();
}

std::string listing(const std::vector<uint32_t>& ids) {
  std::string text = "[";
  for (size_t i = 0; i < ids.size() && i < 20; ++i) text += (i ? " " : "") + std::to_string(ids[i]);
  return text + (ids.size() > 20 ? " ...]" : "]");
}

void check(const HybridSet& s, const Model& m, size_t which) {
  const std::string name = "set " + std::to_string(which) + ": ";
  if (std::string broken = s.verify(); !broken.empty()) fuzz_fail(kTarget, name + broken);
  if (form_of(s) != m.form) fuzz_fail(kTarget, name + "form differs from the model");
  std::vector<uint32_t> listed;
  s.for_each([&](uint32_t id) { listed.push_back(id); });
  if (listed != m.ids) fuzz_fail(kTarget, name + "lists " + listing(listed) + ", model " + listing(m.ids));
  if (s.size() != m.ids.size() || s.empty() != m.ids.empty()) fuzz_fail(kTarget, name + "size differs");
  if (s.to_bitmap().to_vector() != std::vector<uint32_t>(m.members.begin(), m.members.end())) fuzz_fail(kTarget, name + "to_bitmap differs");
  for (uint32_t id = 0; id < 16; ++id) {
    if (s.contains(id) != m.contains(id)) fuzz_fail(kTarget, name + "contains(" + std::to_string(id) + ") differs");
  }
}

}  // namespace
}  // namespace vantorelle::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantorelle::fuzz;
  using vantorelle::Bitmap;
  using vantorelle::HybridSet;
  FuzzInput in(data, size);
  std::array<HybridSet, 3> sets;
  std::array<Model, 3> models;
  while (!in.done()) {
    const uint8_t op = in.byte();
    const size_t a = in.byte() % 3;
    HybridSet& s = sets[a];
    Model& m = models[a];
    switch (op % 8) {
      case 0: {
        const uint32_t id = read_id(in);
        s.add(id);
        model_add(m, id);
        break;
      }
      case 1: {
        const uint32_t id = read_id(in);
        s.remove(id);
        model_remove(m, id);
        break;
      }
      case 2:
      case 3: {
        const size_t b = in.byte() % 3;
        if (op % 8 == 2) {
          s.or_inplace(sets[b]);
          model_or(m, models[b], a == b);
        } else {
          s.and_inplace(sets[b]);
          model_and(m, models[b], a == b);
        }
        break;
      }
      case 4: {
        const size_t b = in.byte() % 3;
        s = sets[b].copy();
        m = models[b];
        break;
      }
      case 5: {
        if (std::move(s).as_bitmap().to_vector() != std::vector<uint32_t>(m.members.begin(), m.members.end())) fuzz_fail(kTarget, "as_bitmap differs");
        m = Model{};
        break;
      }
      case 6: {
        // A fresh set from each constructor: the empty form, one id, up to four distinct ids
        // (a small set, empty when none).
        const uint8_t how = in.byte() % 3;
        if (how == 0) {
          s = HybridSet(), m = Model{};
        } else if (how == 1) {
          const uint32_t id = read_id(in);
          s = HybridSet::single(id), m = Model::of(Form::Small, {id});
        } else {
          s = HybridSet::single(0);
          s.remove(0);
          m = Model::of(Form::Small, {});
          for (uint32_t n = in.byte() % (HybridSet::kSmallCapacity + 1); n > 0; --n) {
            const uint32_t id = read_id(in);
            if (!m.contains(id)) s.add(id), m.push(id);
          }
        }
        break;
      }
      default: {
        // A bitmap set from a run of ids; a long run (past 4096 ids) reaches CRoaring's bitmap
        // and run containers and spreads over two 16-bit chunks.
        const uint32_t start = (read_id(in) & ~uint32_t(0xFF)) | in.byte();
        const uint32_t count = 1 + (in.byte() % 8 == 0 ? in.bits<uint16_t>() % 9000 : in.byte());
        const uint32_t stride = 1 + in.byte() % 3;
        std::vector<uint32_t> ids;
        for (uint64_t id = start; ids.size() < count && id <= UINT32_MAX; id += stride) {
          ids.push_back(static_cast<uint32_t>(id));
        }
        s = HybridSet::from_bitmap(Bitmap::of(ids.data(), ids.size()));
        m = Model::of(Form::Bitmap, std::move(ids));
        break;
      }
    }
    adopt_ascending_form(s, m, a);
    for (size_t i = 0; i < sets.size(); ++i) check(sets[i], models[i], i);
  }
  return 0;
}
