#include "utils/hash_table64.hpp"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/panic.hpp"

namespace marrowfen {
namespace {

// A key whose content hash covers only `id`, so two keys can differ and still collide.
struct Key {
  std::uint32_t id;
  std::string tag;
  void feed(ContentHasher& h) const noexcept { h.u32(id); }
  friend bool operator==(const Key&, const Key&) = default;
};

std::uint64_t hash_of(std::uint32_t id) {
  ContentHasher h;
  h.u32(id);
  return h.finish();
}

TEST(HashTable64, InsertReplacesEqualKeysAndRefusesCollisions) {
  HashTable64<Key, std::string> t;
  auto [h1, old1] = t.insert(Key{1, "a"}, "first");
  EXPECT_EQ(h1, hash_of(1));
  EXPECT_FALSE(old1.has_value());

  auto [h2, old2] = t.insert(Key{1, "a"}, "second");
  EXPECT_EQ(h2, h1);
  EXPECT_EQ(old2, "first");
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.address(h1)->second, "second");

  std::string msg;
  try {
    t.insert(Key{1, "b"}, "intruder");
  } catch (const Panic& p) {
    msg = p.message();
  }
  EXPECT_EQ(msg, "Hash collision detected in HashTable64");
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.address(h1)->first.tag, "a");
  EXPECT_EQ(t.address(h1)->second, "second");
}

TEST(HashTable64, LookupsGoByHashAlone) {
  HashTable64<Key, int> t;
  const std::uint64_t h = t.insert(Key{7, "x"}, 70).first;
  const std::uint64_t missing = hash_of(8);

  EXPECT_EQ(t.address(missing), nullptr);
  EXPECT_FALSE(t.address_mut(missing).has_value());

  auto found = t.address_mut(h);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->first.tag, "x");
  found->second += 1;
  EXPECT_EQ(t.address(h)->second, 71);

  // A stored hash: the entry comes back unchanged and the fallback is dropped.
  auto [k1, v1] = t.address_or(h, {Key{99, "fallback"}, -1});
  EXPECT_EQ(k1.tag, "x");
  EXPECT_EQ(v1, 71);
  EXPECT_EQ(t.size(), 1u);

  // A missing hash: the fallback is stored under it, whatever its own key hashes to.
  auto [k2, v2] = t.address_or(missing, {Key{99, "fallback"}, -1});
  EXPECT_EQ(k2.tag, "fallback");
  v2 = 5;
  EXPECT_EQ(t.address(missing)->second, 5);
  EXPECT_EQ(t.size(), 2u);
}

TEST(HashTable64, OwnsMoveOnlyValues) {
  HashTable64<Key, std::unique_ptr<int>> t;
  auto [h, none] = t.insert(Key{3, ""}, std::make_unique<int>(3));
  auto [h2, old] = t.insert(Key{3, ""}, std::make_unique<int>(4));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(**old, 3);
  EXPECT_EQ(*t.address(h)->second, 4);
  (void)none;
  (void)h2;
}

static_assert(boost::unordered::hash_is_avalanching<IdentityHash>::value);
static_assert(!boost::unordered::hash_is_avalanching<IndexHash>::value);

}  // namespace
}  // namespace marrowfen
