// Attribute names: immutable byte strings, inline up to 23 bytes (no allocation for the names
// people use), longer ones in one shared heap buffer. Equal when their bytes are equal.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace vantorelle {

class AttrName {
 public:
  static constexpr std::size_t kInline = 23;

  AttrName() noexcept = default;
  explicit AttrName(std::string_view text) {
    if (text.size() <= kInline) {
      std::memcpy(inline_.data(), text.data(), text.size());
      size_ = static_cast<std::uint8_t>(text.size());
    } else {
      heap_ = std::make_shared<const std::string>(text);
      size_ = kHeap;
    }
  }

  std::string_view view() const noexcept {
    return size_ == kHeap ? std::string_view(*heap_) : std::string_view(inline_.data(), size_);
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
  static constexpr std::uint8_t kHeap = 0xFF;
  std::array<char, kInline> inline_{};
  std::uint8_t size_ = 0;  // byte count when inline, kHeap when the text lives in heap_
  std::shared_ptr<const std::string> heap_;
};

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
