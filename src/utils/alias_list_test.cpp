#include "utils/alias_list.hpp"

#include <cstdint>
#include <ranges>
#include <vector>

#include <gtest/gtest.h>

namespace marrowfen {
namespace {

template <class T>
std::vector<T> items(AliasList<T> l) {
  std::vector<T> out;
  for (const T& x : l.iter()) out.push_back(x);
  return out;
}

static_assert(sizeof(AliasList<std::uint32_t>) == sizeof(void*));
static_assert(std::is_trivially_copyable_v<AliasList<std::uint32_t>>);
static_assert(std::ranges::forward_range<AliasList<std::uint32_t>>);

TEST(AliasList, ConsSharesTailsAndIteratesNewestFirst) {
  const AliasList<int> nil;
  EXPECT_TRUE(nil.is_nil());
  EXPECT_TRUE(items(nil).empty());

  AliasList<int> one = nil.cons(1);
  EXPECT_FALSE(one.is_nil());
  EXPECT_EQ(one.cell()->tail, nil);
  EXPECT_EQ(items(one), (std::vector<int>{1}));

  AliasList<int> two = one.cons(2);
  AliasList<int> a = two.cons(3);
  AliasList<int> b = two.cons(4);
  EXPECT_EQ(items(a), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(items(b), (std::vector<int>{4, 2, 1}));
  EXPECT_EQ(a.cell()->tail, b.cell()->tail);  // the same cells, not copies
  EXPECT_EQ(&a.cell()->tail.cell()->head, &b.cell()->tail.cell()->head);
  EXPECT_EQ(items(two), (std::vector<int>{2, 1}));  // unchanged by the later cons

  AliasListIter<int> it = a.iter();
  EXPECT_EQ(*it.next(), 3);
  EXPECT_EQ(*it.next(), 2);
  EXPECT_EQ(*it.next(), 1);
  EXPECT_EQ(it.next(), nullptr);

  // Freeing only the head cell of a leaves b's cells and the shared tail readable.
  AliasList<int> a_copy = a;
  a.delete_head();
  EXPECT_TRUE(a.is_nil());
  EXPECT_EQ(items(b), (std::vector<int>{4, 2, 1}));
  (void)a_copy;  // dangling now, never read again

  b.delete_head();
  two.delete_head();
  one.delete_head();
  AliasList<int> still_nil;
  still_nil.delete_head();  // nothing for Nil
  EXPECT_TRUE(still_nil.is_nil());
}

}  // namespace
}  // namespace marrowfen
