// AliasList: an immutable singly linked list whose cells share tails, one pointer wide.
//
// Copying a list copies the pointer: cells have no reference count and are shared by every list
// grown from them. A cell never changes after it is made and is freed only by delete_head(), by
// whoever owns it; it must outlive every list that reaches it.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>

namespace marrowfen {

template <class T>
struct AliasCons;
template <class T>
class AliasListIter;

template <class T>
class AliasList {
 public:
  // Nil, the empty list.
  constexpr AliasList() noexcept = default;
  static constexpr AliasList nil() noexcept { return AliasList(); }

  constexpr bool is_nil() const noexcept { return cell_ == nullptr; }
  // The head cell, or null for Nil.
  constexpr const AliasCons<T>* cell() const noexcept { return cell_; }

  // A new list: one new cell {head, this list}. This list is unchanged.
  AliasList cons(T head) const { return AliasList(new AliasCons<T>{std::move(head), *this}); }

  // Frees the head cell (its tail cells stay) and leaves this list Nil. Nothing for Nil.
  void delete_head() noexcept {
    delete cell_;
    cell_ = nullptr;
  }

  // The elements from the head (newest) to the oldest.
  constexpr AliasListIter<T> iter() const noexcept { return AliasListIter<T>(*this); }
  constexpr AliasListIter<T> begin() const noexcept { return iter(); }
  constexpr std::default_sentinel_t end() const noexcept { return {}; }

  // Same cell (or both Nil).
  friend constexpr bool operator==(AliasList a, AliasList b) noexcept {
    return a.cell_ == b.cell_;
  }

 private:
  constexpr explicit AliasList(AliasCons<T>* cell) noexcept : cell_(cell) {}
  AliasCons<T>* cell_ = nullptr;
};

template <class T>
struct AliasCons {
  T head;
  AliasList<T> tail;
};

// A copy of a list walked as an iterator; it is its own range.
template <class T>
class AliasListIter {
 public:
  using value_type = T;
  using difference_type = std::ptrdiff_t;

  constexpr AliasListIter() noexcept = default;
  constexpr explicit AliasListIter(AliasList<T> rest) noexcept : rest_(rest) {}

  const T& operator*() const noexcept { return rest_.cell()->head; }
  AliasListIter& operator++() noexcept {
    rest_ = rest_.cell()->tail;
    return *this;
  }
  AliasListIter operator++(int) noexcept {
    AliasListIter t = *this;
    ++*this;
    return t;
  }
  constexpr bool operator==(std::default_sentinel_t) const noexcept { return rest_.is_nil(); }
  friend constexpr bool operator==(const AliasListIter& a, const AliasListIter& b) noexcept {
    return a.rest_ == b.rest_;
  }

  constexpr AliasListIter begin() const noexcept { return *this; }
  constexpr std::default_sentinel_t end() const noexcept { return {}; }

  // The next element, or null at the end.
  const T* next() noexcept {
    if (rest_.is_nil()) return nullptr;
    const T* head = &rest_.cell()->head;
    rest_ = rest_.cell()->tail;
    return head;
  }

 private:
  AliasList<T> rest_;
};

}  // namespace marrowfen
