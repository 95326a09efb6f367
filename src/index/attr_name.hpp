// Attribute names: immutable byte strings, inline up to 23 bytes (no allocation for the names
// people use), longer ones in a heap block shared by the copies of one name and freed with the
// last of them, so names seen only in passing (a query's unknown keyword) leave nothing behind.
// Equal when their bytes are equal.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

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
      set_long(LongText::make(text));
    }
  }
  AttrName(const AttrName& other) noexcept : bytes_(other.bytes_), size_(other.size_) {
    if (LongText* text = long_text()) text->refs.fetch_add(1, std::memory_order_relaxed);
  }
  AttrName(AttrName&& other) noexcept : bytes_(other.bytes_), size_(other.size_) { other.size_ = 0; }
  AttrName& operator=(AttrName other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~AttrName() {
    if (LongText* text = long_text()) LongText::drop(text);
  }

  std::string_view view() const noexcept {
    if (const LongText* text = long_text()) return std::string_view(text->data(), text->size);
    return std::string_view(bytes_.data(), size_);
  }
  bool is_inline() const noexcept { return size_ != kHeap; }
  // Names that begin with "_" are kept on the object but never indexed; the empty name is indexed.
  bool is_private() const noexcept {
    std::string_view v = view();
    return !v.empty() && v.front() == '_';
  }
  bool operator==(const AttrName& other) const noexcept { return view() == other.view(); }
  // Names are short and mostly compared with the name sought in a shape, so the inline form is
  // compared in place, without a call.
  bool operator==(std::string_view other) const noexcept {
    if (is_inline()) {
      if (size_ != other.size()) return false;
      for (std::size_t i = 0; i < other.size(); ++i) {
        if (bytes_[i] != other[i]) return false;
      }
      return true;
    }
    return view() == other;
  }

 private:
  // A long name's bytes follow the header in the same allocation; `refs` counts the AttrNames
  // sharing the block.
  struct LongText {
    std::atomic<std::uint32_t> refs;
    std::uint32_t size;
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }

    static LongText* make(std::string_view text) {
      void* block = ::operator new(sizeof(LongText) + text.size());
      auto* header = new (block) LongText{{1}, static_cast<std::uint32_t>(text.size())};
      std::memcpy(static_cast<char*>(block) + sizeof(LongText), text.data(), text.size());
      return header;
    }
    static void drop(LongText* text) noexcept {
      if (text->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        text->~LongText();
        ::operator delete(text);
      }
    }
  };

  LongText* long_text() const noexcept {
    if (size_ != kHeap) return nullptr;
    LongText* text = nullptr;
    std::memcpy(&text, bytes_.data(), sizeof text);
    return text;
  }
  void set_long(LongText* text) noexcept {
    std::memcpy(bytes_.data(), &text, sizeof text);
    size_ = kHeap;
  }

  static constexpr std::uint8_t kHeap = 0xFF;
  std::array<char, kInline> bytes_{};  // the text, or (kHeap) a LongText pointer
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
