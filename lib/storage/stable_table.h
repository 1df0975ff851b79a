// An append-only table whose elements never move: element i stays at one address for
// the table's life. Appends are serialized by the owner's lock; lookups take no lock
// and are safe while another thread appends, since an element is published (the
// count raised with release order) only after it is complete.
#ifndef QUILLBOX_STORAGE_STABLE_TABLE_H_
#define QUILLBOX_STORAGE_STABLE_TABLE_H_

#include <atomic>
#include <bit>
#include <cstdint>

namespace qbx {

template <typename T>
class StableTable {
 public:
  StableTable() = default;
  StableTable(const StableTable&) = delete;
  StableTable& operator=(const StableTable&) = delete;
  ~StableTable() {
    for (auto& segment : segments_) delete[] segment.load(std::memory_order_relaxed);
  }

  // Number of published elements.
  std::uint64_t size() const { return count_.load(std::memory_order_acquire); }

  // The element at `index`, or null when it is not (yet) published.
  T* find(std::uint64_t index) const {
    if (index >= size()) return nullptr;
    return &at(index);
  }

  // Unchecked access to a published element.
  T& operator[](std::uint64_t index) const { return at(index); }

  // REQUIRES: the owner's append lock. Publishes a copy of `value`; throws
  // std::bad_alloc (nothing published) when a new segment cannot be allocated.
  T& push_back(const T& value) {
    const std::uint64_t index = count_.load(std::memory_order_relaxed);
    T& slot = SegmentFor(index)[index - SegmentStart(SegmentOf(index))];
    slot = value;
    count_.store(index + 1, std::memory_order_release);
    return slot;
  }

  // REQUIRES: the owner's append lock. Makes room for the next element, so that a
  // push_back of a value whose copy cannot throw cannot fail. Throws std::bad_alloc.
  void reserve_next() { SegmentFor(count_.load(std::memory_order_relaxed)); }

 private:
  static constexpr std::uint64_t kFirstSegment = 64;  // Segment k holds 64 << k elements.
  static constexpr unsigned kSegments = 58;           // Enough for every 64-bit index.

  static unsigned SegmentOf(std::uint64_t index) {
    return static_cast<unsigned>(std::bit_width(index / kFirstSegment + 1)) - 1;
  }
  static std::uint64_t SegmentStart(unsigned segment) {
    return kFirstSegment * ((std::uint64_t{1} << segment) - 1);
  }
  T* SegmentFor(std::uint64_t index) {
    const unsigned segment = SegmentOf(index);
    T* storage = segments_[segment].load(std::memory_order_relaxed);
    if (storage == nullptr) {
      storage = new T[kFirstSegment << segment]();
      segments_[segment].store(storage, std::memory_order_relaxed);
    }
    return storage;
  }
  T& at(std::uint64_t index) const {
    const unsigned segment = SegmentOf(index);
    return segments_[segment].load(std::memory_order_relaxed)[index - SegmentStart(segment)];
  }

  std::atomic<T*> segments_[kSegments] = {};
  std::atomic<std::uint64_t> count_{0};
};

}  // namespace qbx

#endif  // QUILLBOX_STORAGE_STABLE_TABLE_H_
