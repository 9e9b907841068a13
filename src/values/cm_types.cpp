#include "arvex/cm_types.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "arvex/fatal.hpp"

namespace arvex {

using detail::BlockHeader;
using detail::CellBlock;
using detail::SequenceBlock;
using detail::SequenceWords;
using detail::VecAnyBlock;

namespace {

constexpr std::string_view kTagNames[kCmTagCount] = {
    "Bool",   "I8",        "I16",       "I32",    "I64",     "U8",      "U16",       "U32",
    "U64",    "F32",       "F64",       "Char",   "Usize",   "Isize",   "I128",      "U128",
    "String", "Complex32", "Complex64", "VecCmt", "Ref",     "Res",     "Dep",       "Barrier",
    "None",   "Init",      "CustomType", "SlicedType", "VecAny", "Bytes", "AnyHeld",
};

void init_header(void* block) noexcept {
  auto* header = ::new (block) BlockHeader;
  header->strong.store(1, std::memory_order_relaxed);
  header->weak.store(1, std::memory_order_relaxed);
}

template <class Block>
Block* new_block() {
  static_assert(alignof(Block) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  void* raw = ::operator new(sizeof(Block));
  std::memset(raw, 0, sizeof(Block));
  init_header(raw);
  return static_cast<Block*>(raw);
}

void destroy_held(const HeldObject& held) noexcept {
  if (held.data != nullptr && held.type != nullptr) held.type->destroy(held.data);
}

}  // namespace

std::string_view tag_name(CmTag tag) noexcept {
  const auto index = static_cast<std::size_t>(tag);
  return index < kCmTagCount ? kTagNames[index] : std::string_view("Unknown");
}

void CmTypes::swap(CmTypes& other) noexcept {
  std::swap(tag_, other.tag_);
  std::swap(byte1_, other.byte1_);
  std::swap(half2_, other.half2_);
  std::swap(word4_, other.word4_);
  std::swap(word8_, other.word8_);
  std::swap(word16_, other.word16_);
}

void* CmTypes::allocate_block(std::size_t bytes) {
  void* raw = ::operator new(bytes);
  init_header(raw);
  return raw;
}

// Scalars -------------------------------------------------------------------------------------

CmTypes CmTypes::make_bool(bool v) noexcept {
  CmTypes out;
  out.tag_ = CmTag::Bool;
  out.byte1_ = v ? 1 : 0;
  return out;
}

#define ARVEX_SMALL_SCALAR(fn, Tag, T, field, Storage)  \
  CmTypes CmTypes::fn(T v) noexcept {                   \
    CmTypes out;                                        \
    out.tag_ = CmTag::Tag;                              \
    out.field = std::bit_cast<Storage>(v);              \
    return out;                                         \
  }

ARVEX_SMALL_SCALAR(make_i8, I8, std::int8_t, byte1_, std::uint8_t)
ARVEX_SMALL_SCALAR(make_u8, U8, std::uint8_t, byte1_, std::uint8_t)
ARVEX_SMALL_SCALAR(make_i16, I16, std::int16_t, half2_, std::uint16_t)
ARVEX_SMALL_SCALAR(make_u16, U16, std::uint16_t, half2_, std::uint16_t)
ARVEX_SMALL_SCALAR(make_i32, I32, std::int32_t, word4_, std::uint32_t)
ARVEX_SMALL_SCALAR(make_u32, U32, std::uint32_t, word4_, std::uint32_t)
ARVEX_SMALL_SCALAR(make_f32, F32, float, word4_, std::uint32_t)
ARVEX_SMALL_SCALAR(make_i64, I64, std::int64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_u64, U64, std::uint64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_f64, F64, double, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_usize, Usize, std::uint64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_isize, Isize, std::int64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_ref, Ref, std::uint64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_res, Res, std::uint64_t, word8_, std::uint64_t)
ARVEX_SMALL_SCALAR(make_dep, Dep, std::uint64_t, word8_, std::uint64_t)
#undef ARVEX_SMALL_SCALAR

CmTypes CmTypes::make_char(char32_t c) noexcept {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    fatal_stop("CmTypes::make_char: not a Unicode scalar value");
  }
  CmTypes out;
  out.tag_ = CmTag::Char;
  out.word4_ = static_cast<std::uint32_t>(c);
  return out;
}

CmTypes CmTypes::init() noexcept {
  CmTypes out;
  out.tag_ = CmTag::Init;
  return out;
}

// Shared blocks -------------------------------------------------------------------------------

namespace {

void* new_text_block(std::string_view text) {
  void* block = ::operator new(detail::kBlockPayloadOffset + text.size());
  init_header(block);
  if (!text.empty()) std::memcpy(detail::payload_of(block), text.data(), text.size());
  return block;
}

template <class Number>
void* new_number_block(const Number& value) {
  void* block = ::operator new(detail::kBlockPayloadOffset + sizeof(Number));
  init_header(block);
  std::memcpy(detail::payload_of(block), &value, sizeof(Number));
  return block;
}

template <class Number>
Number read_number(const void* block) noexcept {
  Number value;
  std::memcpy(&value, detail::payload_of(const_cast<void*>(block)), sizeof(Number));
  return value;
}

}  // namespace

CmTypes CmTypes::make_i128(Int128 v) {
  CmTypes out;
  out.set_block(CmTag::I128, new_number_block(v));
  return out;
}

CmTypes CmTypes::make_u128(UInt128 v) {
  CmTypes out;
  out.set_block(CmTag::U128, new_number_block(v));
  return out;
}

CmTypes CmTypes::make_string(std::string_view text) {
  CmTypes out;
  out.set_block(CmTag::String, new_text_block(text), text.size());
  return out;
}

CmTypes CmTypes::make_barrier(std::string_view name) {
  CmTypes out;
  out.set_block(CmTag::Barrier, new_text_block(name), name.size());
  return out;
}

CmTypes CmTypes::make_complex32(C32 v) {
  auto* block = new_block<detail::C32Block>();
  block->value = v;
  CmTypes out;
  out.set_block(CmTag::Complex32, block);
  return out;
}

CmTypes CmTypes::make_complex64(C64 v) {
  auto* block = new_block<detail::C64Block>();
  block->value = v;
  CmTypes out;
  out.set_block(CmTag::Complex64, block);
  return out;
}

CmTypes CmTypes::make_vec(std::vector<CmTypes> elements) {
  auto* block = new_block<SequenceBlock>();
  const std::size_t n = elements.size();
  if (n > 0) {
    CmTypes* data;
    try {
      data = static_cast<CmTypes*>(::operator new(n * sizeof(CmTypes)));
    } catch (...) {
      ::operator delete(block);
      throw;
    }
    for (std::size_t i = 0; i < n; ++i) ::new (&data[i]) CmTypes(std::move(elements[i]));
    block->sequence = SequenceWords{n, data, n};
  }
  CmTypes out;
  out.set_block(CmTag::VecCmt, block);
  return out;
}

CmTypes CmTypes::make_bytes(std::span<const std::uint8_t> bytes) {
  auto* block = new_block<SequenceBlock>();
  if (!bytes.empty()) {
    void* data;
    try {
      data = ::operator new(bytes.size());
    } catch (...) {
      ::operator delete(block);
      throw;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    block->sequence = SequenceWords{bytes.size(), data, bytes.size()};
  }
  CmTypes out;
  out.set_block(CmTag::Bytes, block);
  return out;
}

CmTypes CmTypes::make_vec_any(std::vector<HeldObject> objects) {
  VecAnyBlock* block;
  HeldObject* data = nullptr;
  try {
    block = new_block<VecAnyBlock>();
    if (!objects.empty()) {
      try {
        data = static_cast<HeldObject*>(::operator new(objects.size() * sizeof(HeldObject)));
      } catch (...) {
        ::operator delete(block);
        throw;
      }
    }
  } catch (...) {
    for (const HeldObject& held : objects) destroy_held(held);
    throw;
  }
  ::new (&block->lock) detail::CellLock;
  if (data != nullptr) std::memcpy(data, objects.data(), objects.size() * sizeof(HeldObject));
  block->objects = SequenceWords{objects.size(), data, objects.size()};
  CmTypes out;
  out.set_block(CmTag::VecAny, block);
  return out;
}

CmTypes CmTypes::adopt_cell(CmTag tag, HeldObject held) {
  CellBlock* block;
  try {
    block = new_block<CellBlock>();
  } catch (...) {
    destroy_held(held);
    throw;
  }
  ::new (&block->lock) detail::CellLock;
  block->held = held;
  CmTypes out;
  // An AnyHeld value also points straight at the held-object slot, for lock-free reads.
  out.set_block(tag, block, tag == CmTag::AnyHeld ? reinterpret_cast<std::uintptr_t>(&block->held) : 0);
  return out;
}

CmTypes CmTypes::adopt_sliced(void* block, const detail::SlicedTable* table) noexcept {
  CmTypes out;
  out.set_block(CmTag::SlicedType, block, reinterpret_cast<std::uintptr_t>(table));
  return out;
}

void CmTypes::destroy_last() noexcept {
  void* block = block_ptr();
  // Pairs with the release decrements of every other holder: their uses of the payload happen
  // before it is destroyed.
  (void)detail::header_of(block)->strong.load(std::memory_order_acquire);
  switch (tag_) {
    case CmTag::VecCmt: {
      const SequenceWords& seq = static_cast<SequenceBlock*>(block)->sequence;
      auto* data = static_cast<CmTypes*>(seq.data);
      for (std::uint64_t i = 0; i < seq.length; ++i) data[i].~CmTypes();
      ::operator delete(seq.data);
      break;
    }
    case CmTag::Bytes:
      ::operator delete(static_cast<SequenceBlock*>(block)->sequence.data);
      break;
    case CmTag::CustomType:
    case CmTag::AnyHeld:
      destroy_held(static_cast<CellBlock*>(block)->held);
      break;
    case CmTag::VecAny: {
      const SequenceWords& seq = static_cast<VecAnyBlock*>(block)->objects;
      auto* data = static_cast<HeldObject*>(seq.data);
      for (std::uint64_t i = 0; i < seq.length; ++i) destroy_held(data[i]);
      ::operator delete(seq.data);
      break;
    }
    case CmTag::SlicedType: {
      const auto* table = reinterpret_cast<const detail::SlicedTable*>(static_cast<std::uintptr_t>(word16_));
      table->destroy(detail::payload_of(block));
      break;
    }
    default:  // text, 128-bit integers and complex numbers hold plain bytes
      break;
  }
  ::operator delete(block);
  set_scalar(CmTag::None);
}

std::uint64_t CmTypes::strong_count() const noexcept {
  if (is_scalar_tag(tag_)) return 0;
  return detail::header_of(block_ptr())->strong.load(std::memory_order_relaxed);
}

// Readers -------------------------------------------------------------------------------------

void CmTypes::expect_tag(CmTag tag) const noexcept {
  if (tag_ != tag) {
    std::string message = "CmTypes: expected ";
    message.append(tag_name(tag)).append(", found ").append(tag_name(tag_));
    fatal_stop(message);
  }
}

bool CmTypes::get_bool() const noexcept { return expect_tag(CmTag::Bool), byte1_ != 0; }
std::int8_t CmTypes::get_i8() const noexcept { return expect_tag(CmTag::I8), std::bit_cast<std::int8_t>(byte1_); }
std::uint8_t CmTypes::get_u8() const noexcept { return expect_tag(CmTag::U8), byte1_; }
std::int16_t CmTypes::get_i16() const noexcept { return expect_tag(CmTag::I16), std::bit_cast<std::int16_t>(half2_); }
std::uint16_t CmTypes::get_u16() const noexcept { return expect_tag(CmTag::U16), half2_; }
std::int32_t CmTypes::get_i32() const noexcept { return expect_tag(CmTag::I32), std::bit_cast<std::int32_t>(word4_); }
std::uint32_t CmTypes::get_u32() const noexcept { return expect_tag(CmTag::U32), word4_; }
float CmTypes::get_f32() const noexcept { return expect_tag(CmTag::F32), std::bit_cast<float>(word4_); }
char32_t CmTypes::get_char() const noexcept { return expect_tag(CmTag::Char), static_cast<char32_t>(word4_); }
std::int64_t CmTypes::get_i64() const noexcept { return expect_tag(CmTag::I64), std::bit_cast<std::int64_t>(word8_); }
std::uint64_t CmTypes::get_u64() const noexcept { return expect_tag(CmTag::U64), word8_; }
double CmTypes::get_f64() const noexcept { return expect_tag(CmTag::F64), std::bit_cast<double>(word8_); }
std::uint64_t CmTypes::get_usize() const noexcept { return expect_tag(CmTag::Usize), word8_; }
std::int64_t CmTypes::get_isize() const noexcept { return expect_tag(CmTag::Isize), std::bit_cast<std::int64_t>(word8_); }
std::uint64_t CmTypes::get_ref() const noexcept { return expect_tag(CmTag::Ref), word8_; }
std::uint64_t CmTypes::get_res() const noexcept { return expect_tag(CmTag::Res), word8_; }
std::uint64_t CmTypes::get_dep() const noexcept { return expect_tag(CmTag::Dep), word8_; }

Int128 CmTypes::get_i128() const noexcept { return expect_tag(CmTag::I128), read_number<Int128>(block_ptr()); }
UInt128 CmTypes::get_u128() const noexcept { return expect_tag(CmTag::U128), read_number<UInt128>(block_ptr()); }
C32 CmTypes::get_complex32() const noexcept {
  return expect_tag(CmTag::Complex32), static_cast<detail::C32Block*>(block_ptr())->value;
}
C64 CmTypes::get_complex64() const noexcept {
  return expect_tag(CmTag::Complex64), static_cast<detail::C64Block*>(block_ptr())->value;
}

std::string_view CmTypes::text() const noexcept {
  if (tag_ != CmTag::String && tag_ != CmTag::Barrier) expect_tag(CmTag::String);
  return {reinterpret_cast<const char*>(detail::payload_of(block_ptr())), static_cast<std::size_t>(word16_)};
}

std::span<const CmTypes> CmTypes::elements() const noexcept {
  expect_tag(CmTag::VecCmt);
  const SequenceWords& seq = static_cast<SequenceBlock*>(block_ptr())->sequence;
  return {static_cast<const CmTypes*>(seq.data), static_cast<std::size_t>(seq.length)};
}

std::span<const std::uint8_t> CmTypes::bytes() const noexcept {
  expect_tag(CmTag::Bytes);
  const SequenceWords& seq = static_cast<SequenceBlock*>(block_ptr())->sequence;
  return {static_cast<const std::uint8_t*>(seq.data), static_cast<std::size_t>(seq.length)};
}

std::optional<std::string> CmTypes::as_string() const {
  if (tag_ != CmTag::String) return std::nullopt;
  return std::string(text());
}

CellBlock* CmTypes::cell_of_type(const HeldType& type) const noexcept {
  if (tag_ != CmTag::CustomType && tag_ != CmTag::AnyHeld) return nullptr;
  auto* cell = static_cast<CellBlock*>(block_ptr());
  // The descriptor is fixed when the cell is made, so it can be checked before locking.
  const HeldType* held = cell->held.type;
  if (held == nullptr || held->id != type.id || std::strcmp(held->name, type.name) != 0) return nullptr;
  return cell;
}

const char* CmTypes::held_type_name() const noexcept {
  if (tag_ != CmTag::CustomType && tag_ != CmTag::AnyHeld) return nullptr;
  const HeldType* held = static_cast<CellBlock*>(block_ptr())->held.type;
  return held == nullptr ? nullptr : held->name;
}

SlicedAccess* CmTypes::sliced() const noexcept {
  if (tag_ != CmTag::SlicedType) return nullptr;
  const auto* table = reinterpret_cast<const detail::SlicedTable*>(static_cast<std::uintptr_t>(word16_));
  return table->access(detail::payload_of(block_ptr()));
}

VecAnyReadGuard CmTypes::read_vec_any() const noexcept {
  if (tag_ != CmTag::VecAny) return {};
  return VecAnyReadGuard(static_cast<VecAnyBlock*>(block_ptr()));
}

std::size_t CmTypes::vec_any_len() const noexcept {
  VecAnyReadGuard guard = read_vec_any();
  return guard ? guard.objects().size() : 0;
}

VecAnyReadGuard::VecAnyReadGuard(VecAnyBlock* cell) noexcept : cell_(cell) { cell_->lock.lock_shared(); }

VecAnyReadGuard::~VecAnyReadGuard() {
  if (cell_ != nullptr) cell_->lock.unlock_shared();
}

std::span<const HeldObject> VecAnyReadGuard::objects() const noexcept {
  if (cell_ == nullptr) return {};
  return {static_cast<const HeldObject*>(cell_->objects.data), static_cast<std::size_t>(cell_->objects.length)};
}

// Equality ------------------------------------------------------------------------------------

bool operator==(const CmTypes& a, const CmTypes& b) noexcept {
  if (a.tag_ != b.tag_) return false;
  switch (a.tag_) {
    case CmTag::Bool:
    case CmTag::I8:
    case CmTag::U8:
      return a.byte1_ == b.byte1_;
    case CmTag::I16:
    case CmTag::U16:
      return a.half2_ == b.half2_;
    case CmTag::I32:
    case CmTag::U32:
    case CmTag::Char:
      return a.word4_ == b.word4_;
    case CmTag::F32:
      return a.get_f32() == b.get_f32();
    case CmTag::F64:
      return a.get_f64() == b.get_f64();
    case CmTag::I64:
    case CmTag::U64:
    case CmTag::Usize:
    case CmTag::Isize:
    case CmTag::Ref:
    case CmTag::Res:
    case CmTag::Dep:
      return a.word8_ == b.word8_;
    case CmTag::None:
    case CmTag::Init:
      return true;
    case CmTag::I128:
      return a.get_i128() == b.get_i128();
    case CmTag::U128:
      return a.get_u128() == b.get_u128();
    case CmTag::Complex32: {
      const C32 x = a.get_complex32(), y = b.get_complex32();
      return x.re == y.re && x.im == y.im;
    }
    case CmTag::Complex64: {
      const C64 x = a.get_complex64(), y = b.get_complex64();
      return x.re == y.re && x.im == y.im;
    }
    case CmTag::String:
    case CmTag::Barrier:
      return a.text() == b.text();
    case CmTag::VecCmt: {
      const auto x = a.elements(), y = b.elements();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!(x[i] == y[i])) return false;
      }
      return true;
    }
    case CmTag::Bytes: {
      if (a.block_ptr() == b.block_ptr()) return true;
      const auto x = a.bytes(), y = b.bytes();
      return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size()) == 0);
    }
    case CmTag::CustomType:
    case CmTag::SlicedType:
    case CmTag::VecAny:
    case CmTag::AnyHeld:
      return false;  // opaque objects have no value equality
  }
  return false;
}

}  // namespace arvex
