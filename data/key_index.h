#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestova {

// Rows of a recordset grouped by a key of bytes (the one appendKeyPart builds
// from their key columns), so that finding the rows of one key costs the same
// whatever the table's size. Keys are compared byte for byte.
// Rows are known by their position in the recordset; within a key they are
// kept in ascending position, so the first is the first in delivery order.
class KeyIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  struct Match {
    std::uint32_t first = kNone;  // position of the first row with the key
    std::uint32_t count = 0;
  };

  // Files row `position` under `key`, or under
  // no key when `key` is empty: such a row matches nothing. A row already filed
  // moves to its new key.
  void assign(std::uint32_t position, std::optional<std::string_view> key);

  // Starts fetching from memory where `key` will be looked up, for a caller
  // that files rows faster when it does so a row ahead.
  void prefetch(std::string_view key) const;

  Match find(std::string_view key) const;
  // The same, looking first at the keys of the rows `likely` (any positions,
  // or kNone): rows sought in the order they are filed cost no lookup in the
  // table.
  Match find(std::string_view key, std::initializer_list<std::uint32_t> likely) const;

  // The next row with the same key as `position`, or kNone.
  std::uint32_t next(std::uint32_t position) const { return next_[position]; }

  void reserve(std::size_t rows);

 private:
  // 16 bytes: a million distinct keys take 16 MB here. A bucket's key runs
  // in keys_ to where the next bucket's begins.
  struct Bucket {
    std::uint32_t keyOffset;  // into keys_
    std::uint32_t head;
    std::uint32_t tail;
    std::uint32_t count;
  };
  // A slot holds a bucket's hash beside its number, so that a probe reads
  // no bucket whose hash differs.
  static constexpr std::uint64_t kEmptySlot = UINT64_MAX;
  static std::uint64_t slotOf(std::uint32_t hash, std::uint32_t bucket) {
    return std::uint64_t{hash} << 32 | bucket;
  }

  std::string_view keyOf(std::uint32_t bucket) const {
    const std::size_t begin = buckets_[bucket].keyOffset;
    const std::size_t end =
        bucket + 1 < buckets_.size() ? buckets_[bucket + 1].keyOffset : keys_.size();
    return std::string_view(keys_).substr(begin, end - begin);
  }
  static std::uint32_t hashOf(std::string_view key);
  std::uint32_t findBucket(std::string_view key, std::uint32_t hash) const;
  std::uint32_t addBucket(std::string_view key, std::uint32_t hash);
  void link(std::uint32_t position, Bucket& bucket);
  void unlink(std::uint32_t position, Bucket& bucket);
  void place(std::uint64_t entry);
  void growSlots();

  std::vector<std::uint32_t> bucketOf_;  // per row
  std::vector<std::uint32_t> next_;      // per row
  std::vector<Bucket> buckets_;          // one per distinct key
  std::string keys_;                     // the distinct keys, end to end
  std::vector<std::uint64_t> slots_;     // open addressing over buckets_
};

}  // namespace kestova
