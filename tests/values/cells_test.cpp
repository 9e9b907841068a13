// Cells hold kernel objects behind a type identity that must agree between binaries, each of
// which has its own copy of the type descriptors.
#include <gtest/gtest.h>

#include <string>

#include "arvex/cm_types.hpp"

namespace kernels {
struct Accumulator {
  int total = 0;
};
struct OtherWithSameLayout {
  int total = 0;
};
struct Named {
  std::string label;
};
struct Shape : arvex::SlicedAccess {
  explicit Shape(int* counter) : alive(counter) { ++*alive; }
  ~Shape() override { --*alive; }
  int* alive;
};
}  // namespace kernels

template <>
struct arvex::HeldTypeName<kernels::Named> {
  static constexpr const char* value = "kernels::Named@v1";
};

namespace arvex {
namespace {

// A descriptor as another binary would have it: same name and hash, different address.
HeldType foreign_copy_of(const HeldType& original) { return HeldType{original.destroy, original.id, original.name}; }

TEST(HeldTypeIdentity, DerivedFromTheNameNotTheAddress) {
  const HeldType foreign = foreign_copy_of(held_type_of<kernels::Accumulator>);
  EXPECT_NE(&foreign, &held_type_of<kernels::Accumulator>);
  EXPECT_TRUE(holds_type<kernels::Accumulator>(&foreign));
  EXPECT_FALSE(holds_type<kernels::OtherWithSameLayout>(&foreign));
  EXPECT_FALSE(holds_type<kernels::Accumulator>(nullptr));
  EXPECT_STREQ(held_type_of<kernels::Accumulator>.name, "kernels::Accumulator");
  EXPECT_STREQ(held_type_of<kernels::Named>.name, "kernels::Named@v1");
  EXPECT_EQ(held_type_of<kernels::Named>.id, detail::fnv1a_64("kernels::Named@v1"));
}

TEST(CellAccess, ReadAndWriteThroughTheLock) {
  const CmTypes cell = CmTypes::make_custom<kernels::Accumulator>();
  const CmTypes alias = cell;
  if (auto w = alias.write_cell<kernels::Accumulator>()) {
    w->total += 5;
  } else {
    FAIL() << "write access to the right type must succeed";
  }
  auto r = cell.read_cell<kernels::Accumulator>();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->total, 5);
  auto second_reader = cell.read_cell<kernels::Accumulator>();  // shared holders coexist
  EXPECT_TRUE(second_reader);
}

TEST(CellAccess, WrongTypeOrAlternativeGivesAnEmptyGuard) {
  const CmTypes cell = CmTypes::make_custom<kernels::Accumulator>();
  EXPECT_FALSE(cell.read_cell<kernels::OtherWithSameLayout>());
  EXPECT_FALSE(cell.write_cell<int>());
  EXPECT_FALSE(CmTypes::make_string("x").read_cell<kernels::Accumulator>());
  EXPECT_EQ(cell.any_held<kernels::Accumulator>(), nullptr);  // only AnyHeld has the direct pointer
}

TEST(CellAccess, AnyHeldReachesItsObjectWithoutTheLock) {
  const CmTypes held = CmTypes::make_any_held<kernels::Named>(kernels::Named{"left"});
  auto exclusive = held.write_cell<kernels::Named>();  // even while the lock is taken
  ASSERT_NE(held.any_held<kernels::Named>(), nullptr);
  EXPECT_EQ(held.any_held<kernels::Named>()->label, "left");
  EXPECT_EQ(held.any_held<kernels::Accumulator>(), nullptr);
}

TEST(CellAccess, VecAnyListsItsObjectsUnderTheSharedLock) {
  const CmTypes v = CmTypes::make_vec_any({CmTypes::make_held<int>(1), CmTypes::make_held<kernels::Named>()});
  auto guard = v.read_vec_any();
  ASSERT_TRUE(guard);
  ASSERT_EQ(guard.objects().size(), 2u);
  EXPECT_TRUE(holds_type<int>(guard.objects()[0].type));
  EXPECT_TRUE(holds_type<kernels::Named>(guard.objects()[1].type));
  EXPECT_EQ(v.debug_string(), "VecAny[2]");  // takes the shared lock alongside ours
  EXPECT_FALSE(CmTypes::make_i32(1).read_vec_any());
}

TEST(SlicedValues, ShareOneObjectAndDestroyItWithTheLastCopy) {
  int alive = 0;
  {
    const CmTypes a = CmTypes::make_sliced<kernels::Shape>(&alive);
    const CmTypes b = a;
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(a.strong_count(), 2u);
    auto* shape = dynamic_cast<kernels::Shape*>(b.sliced());
    ASSERT_NE(shape, nullptr);
    EXPECT_EQ(shape->alive, &alive);
    EXPECT_EQ(a.debug_string(), "SlicedType");
    EXPECT_FALSE(a == b);
  }
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(CmTypes::make_i32(1).sliced(), nullptr);
}

}  // namespace
}  // namespace arvex
