// Attribute names: immutable byte strings, inline up to 23 bytes (no allocation for the names
// people use), longer ones in one shared heap buffer. Equal when their bytes are equal.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vantorelle {

class AttrName {
 public:
  static constexpr std::size_t kInline = 23;

  AttrName() noexcept = default;
  explicit AttrName(std::string_view text) {
    if (text.size() <= kInline) {
      std::memcpy(bytes_.data(), text.data(), text.size());
      size_ = static_cast<std::uint8_t>(text.size());
    } else {
      const std::string* interned = intern(text);
      std::memcpy(bytes_.data(), &interned, sizeof interned);
      size_ = kHeap;
    }
  }

  std::string_view view() const noexcept {
    if (size_ != kHeap) return std::string_view(bytes_.data(), size_);
    const std::string* interned = nullptr;
    std::memcpy(&interned, bytes_.data(), sizeof interned);
    return *interned;
  }
  bool is_inline() const noexcept { return size_ != kHeap; }
  // Names that begin with "_" are kept on the object but never indexed; the empty name is indexed.
  bool is_private() const noexcept {
    std::string_view v = view();
    return !v.empty() && v.front() == '_';
  }
  bool operator==(const AttrName& other) const noexcept { return view() == other.view(); }
  bool operator==(std::string_view other) const noexcept { return view() == other; }

 private:
  // Longer names are stored once for the process and never freed: there are as many as the
  // program uses distinct long attribute names, and every object carrying one shares it.
  static const std::string* intern(std::string_view text);

  static constexpr std::uint8_t kHeap = 0xFF;
  std::array<char, kInline> bytes_{};  // the text, or (kHeap) a pointer to the interned text
  std::uint8_t size_ = 0;              // byte count when inline, kHeap otherwise
};
static_assert(sizeof(AttrName) == 24, "names stay one 24-byte word group");

// FNV-1a over the name's bytes: fast, and names are short.
struct AttrNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    return static_cast<std::size_t>(h);
  }
  std::size_t operator()(const AttrName& name) const noexcept { return (*this)(name.view()); }
};

struct AttrNameEq {
  using is_transparent = void;
  bool operator()(const AttrName& a, const AttrName& b) const noexcept { return a == b; }
  bool operator()(const AttrName& a, std::string_view b) const noexcept { return a == b; }
  bool operator()(std::string_view a, const AttrName& b) const noexcept { return b == a; }
};

}  // namespace vantorelle
