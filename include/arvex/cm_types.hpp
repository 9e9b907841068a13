#pragma once
// CmTypes: the dynamically typed value that kernels exchange.
//
// A value is 24 bytes: the tag at byte 0, small payloads at bytes 1, 2 or 4, and eight-byte
// payloads or a shared-block pointer at byte 8 (plus a second word at 16 for text lengths and
// interface pointers). Scalars copy bit for bit; every other alternative shares an immutable or
// lock-protected block whose strong count a copy increments. The layout is a contract between
// the program, the Python bridge and kernel libraries, which are built separately.

#include <cstdint>
#include <iosfwd>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "arvex/cell_guard.hpp"
#include "arvex/detail/shared_block.hpp"
#include "arvex/held_type.hpp"

namespace arvex {

__extension__ using Int128 = __int128;
__extension__ using UInt128 = unsigned __int128;

enum class CmTag : std::uint8_t {
  Bool = 0, I8 = 1, I16 = 2, I32 = 3, I64 = 4, U8 = 5, U16 = 6, U32 = 7, U64 = 8,
  F32 = 9, F64 = 10, Char = 11, Usize = 12, Isize = 13, I128 = 14, U128 = 15,
  String = 16, Complex32 = 17, Complex64 = 18, VecCmt = 19, Ref = 20, Res = 21, Dep = 22,
  Barrier = 23, None = 24, Init = 25, CustomType = 26, SlicedType = 27, VecAny = 28,
  Bytes = 29, AnyHeld = 30,
};

inline constexpr std::size_t kCmTagCount = 31;

// The alternative's name as it appears in debug text ("I32", "VecCmt", ...).
std::string_view tag_name(CmTag tag) noexcept;

// Scalars (no shared block): Bool..Isize, Ref, Res, Dep, None, Init.
constexpr bool is_scalar_tag(CmTag tag) noexcept {
  constexpr std::uint32_t kScalarMask = 0x3FFFu | (0x7u << 20) | (0x3u << 24);
  return ((kScalarMask >> static_cast<unsigned>(tag)) & 1u) != 0;
}

// The interface of shared objects that kernel libraries put in SlicedType values. The runtime
// only shares and releases them.
class SlicedAccess {
 public:
  virtual ~SlicedAccess() = default;
};

class CmTypes {
 public:
  CmTypes() noexcept { set_scalar(CmTag::None); }
  CmTypes(const CmTypes& other) noexcept : CmTypes(other, BitCopy{}) {
    if (!is_scalar_tag(tag_)) retain();
  }
  CmTypes(CmTypes&& other) noexcept : CmTypes(other, BitCopy{}) { other.set_scalar(CmTag::None); }
  CmTypes& operator=(const CmTypes& other) noexcept {
    CmTypes copy(other);
    swap(copy);
    return *this;
  }
  CmTypes& operator=(CmTypes&& other) noexcept {
    CmTypes taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~CmTypes() {
    if (!is_scalar_tag(tag_)) release();
  }
  void swap(CmTypes& other) noexcept;

  // Construction, one function per alternative.
  static CmTypes make_bool(bool v) noexcept;
  static CmTypes make_i8(std::int8_t v) noexcept;
  static CmTypes make_i16(std::int16_t v) noexcept;
  static CmTypes make_i32(std::int32_t v) noexcept;
  static CmTypes make_i64(std::int64_t v) noexcept;
  static CmTypes make_u8(std::uint8_t v) noexcept;
  static CmTypes make_u16(std::uint16_t v) noexcept;
  static CmTypes make_u32(std::uint32_t v) noexcept;
  static CmTypes make_u64(std::uint64_t v) noexcept;
  static CmTypes make_f32(float v) noexcept;
  static CmTypes make_f64(double v) noexcept;
  // `c` must be a Unicode scalar value (not a surrogate, at most U+10FFFF).
  static CmTypes make_char(char32_t c) noexcept;
  static CmTypes make_usize(std::uint64_t v) noexcept;
  static CmTypes make_isize(std::int64_t v) noexcept;
  static CmTypes make_i128(Int128 v);
  static CmTypes make_u128(UInt128 v);
  static CmTypes make_string(std::string_view text);
  static CmTypes make_complex32(C32 v);
  static CmTypes make_complex64(C64 v);
  static CmTypes make_vec(std::vector<CmTypes> elements);
  static CmTypes make_ref(std::uint64_t index) noexcept;
  static CmTypes make_res(std::uint64_t index) noexcept;
  static CmTypes make_dep(std::uint64_t index) noexcept;
  static CmTypes make_barrier(std::string_view name);
  static CmTypes none() noexcept { return CmTypes(); }
  static CmTypes init() noexcept;
  static CmTypes make_bytes(std::span<const std::uint8_t> bytes);
  // Takes ownership of the held objects.
  static CmTypes make_vec_any(std::vector<HeldObject> objects);

  template <class T, class... A>
  static CmTypes make_custom(A&&... args) {
    return adopt_cell(CmTag::CustomType, make_held<T>(std::forward<A>(args)...));
  }
  template <class T, class... A>
  static CmTypes make_any_held(A&&... args) {
    return adopt_cell(CmTag::AnyHeld, make_held<T>(std::forward<A>(args)...));
  }
  template <class T, class... A>
  static CmTypes make_sliced(A&&... args);

  // A new heap object of type T ready to be handed to a cell.
  template <class T, class... A>
  static HeldObject make_held(A&&... args) {
    return HeldObject{new T(std::forward<A>(args)...), &held_type_of<T>};
  }

  CmTag tag() const noexcept { return tag_; }
  bool is(CmTag tag) const noexcept { return tag_ == tag; }

  // Payload readers. The tag must match; a mismatch is a broken contract and stops the program.
  bool get_bool() const noexcept;
  std::int8_t get_i8() const noexcept;
  std::int16_t get_i16() const noexcept;
  std::int32_t get_i32() const noexcept;
  std::int64_t get_i64() const noexcept;
  std::uint8_t get_u8() const noexcept;
  std::uint16_t get_u16() const noexcept;
  std::uint32_t get_u32() const noexcept;
  std::uint64_t get_u64() const noexcept;
  float get_f32() const noexcept;
  double get_f64() const noexcept;
  char32_t get_char() const noexcept;
  std::uint64_t get_usize() const noexcept;
  std::int64_t get_isize() const noexcept;
  Int128 get_i128() const noexcept;
  UInt128 get_u128() const noexcept;
  C32 get_complex32() const noexcept;
  C64 get_complex64() const noexcept;
  std::uint64_t get_ref() const noexcept;
  std::uint64_t get_res() const noexcept;
  std::uint64_t get_dep() const noexcept;
  // The text of a String or Barrier.
  std::string_view text() const noexcept;
  std::span<const CmTypes> elements() const noexcept;     // VecCmt
  std::span<const std::uint8_t> bytes() const noexcept;   // Bytes

  // The text of a String as a new string; nothing for every other alternative.
  std::optional<std::string> as_string() const;

  // Cell access for CustomType and AnyHeld values holding a T; the guard is empty when the
  // value is not such a cell. The value must outlive the guard.
  template <class T>
  CellGuard<T, false> read_cell() const noexcept;
  template <class T>
  CellGuard<T, true> write_cell() const noexcept;
  // The stable name of the object type a CustomType or AnyHeld cell holds (for diagnostics);
  // null for every other alternative.
  const char* held_type_name() const noexcept;
  // The object of an AnyHeld value holding a T, reached without the lock; null otherwise.
  template <class T>
  T* any_held() const noexcept;
  VecAnyReadGuard read_vec_any() const noexcept;
  std::size_t vec_any_len() const noexcept;
  // The object behind a SlicedType value; null otherwise.
  SlicedAccess* sliced() const noexcept;

  // Debug text: I32(5), String("a\n"), VecCmt([I32(1)]), Bytes(len=3), ...
  std::string debug_string() const;

  // The shared block (null for scalars) and its strong count (0 for scalars).
  const void* block() const noexcept { return is_scalar_tag(tag_) ? nullptr : block_ptr(); }
  std::uint64_t strong_count() const noexcept;

  friend bool operator==(const CmTypes& a, const CmTypes& b) noexcept;

 private:
  struct BitCopy {};
  CmTypes(const CmTypes& other, BitCopy) noexcept
      : tag_(other.tag_), byte1_(other.byte1_), half2_(other.half2_), word4_(other.word4_),
        word8_(other.word8_), word16_(other.word16_) {}

  void set_scalar(CmTag tag) noexcept {
    tag_ = tag;
    byte1_ = 0;
    half2_ = 0;
    word4_ = 0;
    word8_ = 0;
    word16_ = 0;
  }
  void* block_ptr() const noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word8_)); }
  void set_block(CmTag tag, const void* block, std::uint64_t second_word = 0) noexcept {
    set_scalar(tag);
    word8_ = reinterpret_cast<std::uintptr_t>(block);
    word16_ = second_word;
  }
  void retain() const noexcept {
    detail::header_of(block_ptr())->strong.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    // Release publishes this holder's use of the payload to the one that frees it.
    if (detail::header_of(block_ptr())->strong.fetch_sub(1, std::memory_order_release) == 1) {
      destroy_last();
    }
  }
  void destroy_last() noexcept;
  void expect_tag(CmTag tag) const noexcept;
  detail::CellBlock* cell_of_type(const HeldType& type) const noexcept;
  static CmTypes adopt_cell(CmTag tag, HeldObject held);
  static CmTypes adopt_sliced(void* block, const detail::SlicedTable* table) noexcept;
  static void* allocate_block(std::size_t bytes);

  friend struct CmTypesLayout;

  CmTag tag_;
  std::uint8_t byte1_;
  std::uint16_t half2_;
  std::uint32_t word4_;
  std::uint64_t word8_;
  std::uint64_t word16_;
};

// Offsets of the layout contract, kept in one place so that tests and static checks agree.
struct CmTypesLayout {
  static constexpr std::size_t kTag = offsetof(CmTypes, tag_);
  static constexpr std::size_t kByte = offsetof(CmTypes, byte1_);
  static constexpr std::size_t kHalf = offsetof(CmTypes, half2_);
  static constexpr std::size_t kWord4 = offsetof(CmTypes, word4_);
  static constexpr std::size_t kWord8 = offsetof(CmTypes, word8_);
  static constexpr std::size_t kWord16 = offsetof(CmTypes, word16_);
};

static_assert(sizeof(CmTypes) == 24 && alignof(CmTypes) == 8, "a value is 24 bytes, aligned to 8");
static_assert(CmTypesLayout::kTag == 0 && CmTypesLayout::kByte == 1 && CmTypesLayout::kHalf == 2 &&
                  CmTypesLayout::kWord4 == 4 && CmTypesLayout::kWord8 == 8 &&
                  CmTypesLayout::kWord16 == 16,
              "tag at 0; 1-, 2-, 4- and 8-byte payloads at 1, 2, 4 and 8; second word at 16");
static_assert(sizeof(void*) == 8, "the value layout assumes 64-bit pointers");

// "[" + elements' debug texts separated by ", " + "]".
std::string debug_string(std::span<const CmTypes> values);
std::ostream& operator<<(std::ostream& out, const CmTypes& value);

template <class T>
CellGuard<T, false> CmTypes::read_cell() const noexcept {
  detail::CellBlock* cell = cell_of_type(held_type_of<T>);
  if (cell == nullptr) return {};
  cell->lock.lock_shared();
  return {&cell->lock, static_cast<T*>(cell->held.data)};
}

template <class T>
CellGuard<T, true> CmTypes::write_cell() const noexcept {
  detail::CellBlock* cell = cell_of_type(held_type_of<T>);
  if (cell == nullptr) return {};
  cell->lock.lock();
  return {&cell->lock, static_cast<T*>(cell->held.data)};
}

template <class T>
T* CmTypes::any_held() const noexcept {
  if (tag_ != CmTag::AnyHeld) return nullptr;
  const auto* slot = reinterpret_cast<const HeldObject*>(static_cast<std::uintptr_t>(word16_));
  return holds_type<T>(slot->type) ? static_cast<T*>(slot->data) : nullptr;
}

template <class T, class... A>
CmTypes CmTypes::make_sliced(A&&... args) {
  static_assert(std::is_base_of_v<SlicedAccess, T>, "a SlicedType object implements SlicedAccess");
  static_assert(alignof(T) <= detail::kBlockPayloadOffset, "the object sits at byte 16 of its block");
  static constexpr detail::SlicedTable kTable = {
      [](void* object) noexcept { static_cast<T*>(object)->~T(); },
      [](void* object) noexcept -> SlicedAccess* { return static_cast<T*>(object); },
  };
  void* block = allocate_block(detail::kBlockPayloadOffset + sizeof(T));
  try {
    new (detail::payload_of(block)) T(std::forward<A>(args)...);
  } catch (...) {
    ::operator delete(block);
    throw;
  }
  return adopt_sliced(block, &kTable);
}

}  // namespace arvex
