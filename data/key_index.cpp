#include "data/key_index.h"

#include <functional>
#include <stdexcept>

namespace kestova {

void KeyIndex::reserve(std::size_t rows) {
  bucketOf_.reserve(rows);
  next_.reserve(rows);
  buckets_.reserve(rows);
}

void KeyIndex::assign(std::uint32_t position, std::optional<std::string_view> key) {
  if (position >= bucketOf_.size()) {
    bucketOf_.resize(position + 1, kNone);
    next_.resize(position + 1, kNone);
  }
  std::uint32_t old = bucketOf_[position];
  if (old != kNone) {
    if (key && keyOf(old) == *key) return;
    unlink(position, buckets_[old]);
    bucketOf_[position] = kNone;
  }
  if (!key) return;
  const std::uint32_t hash = hashOf(*key);
  std::uint32_t bucket = findBucket(*key, hash);
  if (bucket == kNone) bucket = addBucket(*key, hash);
  link(position, buckets_[bucket]);
  bucketOf_[position] = bucket;
}

void KeyIndex::prefetch(std::string_view key) const {
  if (!slots_.empty()) __builtin_prefetch(&slots_[hashOf(key) & (slots_.size() - 1)]);
}

KeyIndex::Match KeyIndex::find(std::string_view key) const {
  std::uint32_t bucket = findBucket(key, hashOf(key));
  if (bucket == kNone) return {};
  return {buckets_[bucket].head, buckets_[bucket].count};
}

KeyIndex::Match KeyIndex::find(std::string_view key,
                               std::initializer_list<std::uint32_t> likely) const {
  for (std::uint32_t position : likely) {
    if (position >= bucketOf_.size()) continue;
    const std::uint32_t bucket = bucketOf_[position];
    if (bucket != kNone && keyOf(bucket) == key)
      return {buckets_[bucket].head, buckets_[bucket].count};
  }
  return find(key);
}

std::uint32_t KeyIndex::hashOf(std::string_view key) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
}

std::uint32_t KeyIndex::findBucket(std::string_view key, std::uint32_t hash) const {
  if (slots_.empty()) return kNone;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t entry = slots_[slot];
    if (entry == kEmptySlot) return kNone;
    const auto bucket = static_cast<std::uint32_t>(entry);
    if (entry >> 32 == hash && keyOf(bucket) == key) return bucket;
  }
}

std::uint32_t KeyIndex::addBucket(std::string_view key, std::uint32_t hash) {
  if (keys_.size() + key.size() > UINT32_MAX) throw std::length_error("KeyIndex: keys over 4 GiB");
  // At most three quarters full: probes mostly stay within one cache line.
  if ((buckets_.size() + 1) * 4 > slots_.size() * 3) growSlots();
  auto bucket = static_cast<std::uint32_t>(buckets_.size());
  buckets_.push_back({static_cast<std::uint32_t>(keys_.size()), kNone, kNone, 0});
  keys_.append(key);
  place(slotOf(hash, bucket));
  return bucket;
}

void KeyIndex::place(std::uint64_t entry) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = (entry >> 32) & mask;
  while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask;
  slots_[slot] = entry;
}

void KeyIndex::growSlots() {
  const std::vector<std::uint64_t> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, kEmptySlot);
  for (std::uint64_t entry : old)
    if (entry != kEmptySlot) place(entry);
}

void KeyIndex::link(std::uint32_t position, Bucket& bucket) {
  ++bucket.count;
  if (bucket.head == kNone) {
    bucket.head = bucket.tail = position;
    next_[position] = kNone;
  } else if (position > bucket.tail) {
    next_[bucket.tail] = position;
    next_[position] = kNone;
    bucket.tail = position;
  } else if (position < bucket.head) {
    next_[position] = bucket.head;
    bucket.head = position;
  } else {
    std::uint32_t before = bucket.head;
    while (next_[before] < position) before = next_[before];
    next_[position] = next_[before];
    next_[before] = position;
  }
}

void KeyIndex::unlink(std::uint32_t position, Bucket& bucket) {
  --bucket.count;
  if (bucket.head == position) {
    bucket.head = next_[position];
    if (bucket.tail == position) bucket.tail = kNone;
  } else {
    std::uint32_t before = bucket.head;
    while (next_[before] != position) before = next_[before];
    next_[before] = next_[position];
    if (bucket.tail == position) bucket.tail = before;
  }
  next_[position] = kNone;
}

}  // namespace kestova
