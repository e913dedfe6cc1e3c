// HashTable64: a map addressed by the 64-bit content hash of its key. Two different keys with
// the same hash are refused; lookups go by the hash alone, so a holder of just the hash reaches
// the entry. Also the identity hashers for maps keyed by 64-bit hashes or small indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "core/content_hash.hpp"
#include "core/panic.hpp"

namespace marrowfen {

// The key is its own hash. For keys that are already uniformly mixed (content hashes), so the
// flat maps use it as is, with no second mixing step.
struct IdentityHash {
  using is_avalanching = std::true_type;
  std::size_t operator()(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>(key);
  }
};

// The key is its own hash, for small dense keys (gate indices). Not marked avalanching: the
// flat maps spread such keys over their groups with their own cheap mix.
struct IndexHash {
  std::size_t operator()(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>(key);
  }
};

// K: has `void feed(ContentHasher&) const` and operator==. References handed out stay valid
// until the next insertion (the table is open-addressed and may move its entries as it grows).
template <class K, class V>
class HashTable64 {
 public:
  using Entry = std::pair<K, V>;

  // Stores (key, value) under the key's content hash; returns the hash and the value it
  // replaced. An equal key already stored is replaced with the new key and value; a different
  // key with the same hash stops with "Hash collision detected in HashTable64" and leaves the
  // table as it was.
  std::pair<std::uint64_t, std::optional<V>> insert(K key, V value) {
    const std::uint64_t h = content_hash(key);
    auto it = map_.find(h);
    if (it == map_.end()) {
      map_.emplace(h, Entry(std::move(key), std::move(value)));
      return {h, std::nullopt};
    }
    Entry& stored = it->second;
    if (!(stored.first == key)) stop("Hash collision detected in HashTable64");
    std::optional<V> old(std::move(stored.second));
    stored.first = std::move(key);
    stored.second = std::move(value);
    return {h, std::move(old)};
  }

  // The entry stored under hash h, or null.
  const Entry* address(std::uint64_t h) const {
    auto it = map_.find(h);
    return it == map_.end() ? nullptr : &it->second;
  }

  std::optional<std::pair<const K&, V&>> address_mut(std::uint64_t h) {
    auto it = map_.find(h);
    if (it == map_.end()) return std::nullopt;
    return std::pair<const K&, V&>(it->second.first, it->second.second);
  }

  // The entry under hash h; when there is none, `fallback` is stored there first (its key is not
  // checked against h). Otherwise `fallback` is dropped.
  std::pair<const K&, V&> address_or(std::uint64_t h, Entry fallback) {
    auto [it, inserted] = map_.try_emplace(h, std::move(fallback));
    (void)inserted;
    return std::pair<const K&, V&>(it->second.first, it->second.second);
  }

  std::size_t size() const noexcept { return map_.size(); }
  bool empty() const noexcept { return map_.empty(); }

 private:
  boost::unordered_flat_map<std::uint64_t, Entry, IdentityHash> map_;
};

}  // namespace marrowfen
