// String-keyed hash map whose iteration order is part of the program's output:
// the result file lists hosts in this order, so it must never change.
//
//  - a fixed number of buckets (17 unless the owner says otherwise);
//  - hash = hash * 33 + byte, the byte taken as a *signed* char, in unsigned 32-bit
//    arithmetic; bucket = hash % bucket count;
//  - a new key goes to the head of its bucket's chain;
//  - iteration visits buckets 0..N-1 and each chain from its head (newest first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ordalen {

inline constexpr std::uint32_t kDefaultHashBuckets = 17;

constexpr std::uint32_t HashKey(std::string_view key) {
  std::uint32_t hash = 0;
  for (char c : key) {
    // The byte is widened as a signed char on purpose: bytes >= 0x80 subtract.
    hash = (hash << 5) + hash +
           static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
  }
  return hash;
}

template <class V>
class CMap {
 public:
  struct Assoc {
    std::uint32_t hash = 0;
    std::string key;
    V value{};
    std::unique_ptr<Assoc> next;
  };

  explicit CMap(std::uint32_t bucket_count = kDefaultHashBuckets) : bucket_count_(bucket_count) {}
  CMap(CMap&&) noexcept = default;
  CMap& operator=(CMap&&) noexcept = default;
  CMap(const CMap&) = delete;
  CMap& operator=(const CMap&) = delete;
  ~CMap() { RemoveAll(); }

  [[nodiscard]] std::size_t size() const { return count_; }
  [[nodiscard]] bool empty() const { return count_ == 0; }

  // Value for `key`, or nullptr.
  V* Find(std::string_view key) {
    Assoc* a = FindAssoc(key);
    return a ? &a->value : nullptr;
  }
  const V* Find(std::string_view key) const { return const_cast<CMap*>(this)->Find(key); }

  // The value slot for `key`, inserted value-initialised at the head of its chain when new.
  V& operator[](std::string_view key) {
    if (Assoc* a = FindAssoc(key)) return a->value;
    if (buckets_.empty()) buckets_.resize(bucket_count_);
    const std::uint32_t h = HashKey(key);
    auto fresh = std::make_unique<Assoc>();
    fresh->hash = h;
    fresh->key = std::string(key);
    auto& head = buckets_[h % bucket_count_];
    fresh->next = std::move(head);
    head = std::move(fresh);
    ++count_;
    return head->value;
  }

  // Frees every association; the map is empty and keeps its bucket count.
  void RemoveAll() {
    for (auto& head : buckets_) {
      // Unlink iteratively so a long chain never recurses deeply.
      while (head) head = std::move(head->next);
    }
    buckets_.clear();
    count_ = 0;
  }

  template <bool kConst>
  class Iter {
   public:
    using Map = std::conditional_t<kConst, const CMap, CMap>;
    using AssocT = std::conditional_t<kConst, const Assoc, Assoc>;
    Iter(Map* map, std::size_t bucket, AssocT* at) : map_(map), bucket_(bucket), at_(at) {
      Settle();
    }
    AssocT& operator*() const { return *at_; }
    AssocT* operator->() const { return at_; }
    Iter& operator++() {
      at_ = at_->next.get();
      if (!at_) {
        ++bucket_;
        Settle();
      }
      return *this;
    }
    bool operator==(const Iter& o) const { return at_ == o.at_; }

   private:
    void Settle() {
      while (!at_ && bucket_ < map_->buckets_.size()) {
        at_ = map_->buckets_[bucket_].get();
        if (!at_) ++bucket_;
      }
    }
    Map* map_;
    std::size_t bucket_;
    AssocT* at_;
  };

  Iter<false> begin() { return Iter<false>(this, 0, nullptr); }
  Iter<false> end() { return Iter<false>(this, buckets_.size(), nullptr); }
  Iter<true> begin() const { return Iter<true>(this, 0, nullptr); }
  Iter<true> end() const { return Iter<true>(this, buckets_.size(), nullptr); }

 private:
  Assoc* FindAssoc(std::string_view key) {
    if (buckets_.empty()) return nullptr;
    const std::uint32_t h = HashKey(key);
    for (Assoc* a = buckets_[h % bucket_count_].get(); a; a = a->next.get()) {
      if (a->hash == h && a->key == key) return a;
    }
    return nullptr;
  }

  std::uint32_t bucket_count_;
  std::vector<std::unique_ptr<Assoc>> buckets_;
  std::size_t count_ = 0;
};

}  // namespace ordalen
