// Atomic access to the caller's ItemLocation.
#include "storage/location.h"

#include "platform/wake_event.h"

namespace qbx {
namespace {

// ItemLocation is a packed 20-byte record, so in an array of them `pos` is 8-byte
// aligned only in every other element; the 4-byte fields stay 4-byte aligned (the
// library supports records at 4-byte-aligned addresses).
//
// An access is a single, untearable one only where both x86-64 vendors promise it:
// naturally aligned loads and stores of up to 8 bytes. A misaligned 8-byte access is
// not: Intel promises atomicity only inside one cache line, AMD only inside one aligned
// 8-byte word, and one that crosses a line is carried out as two (a LOCK-prefixed
// operation there would be a split lock: very slow, and refused by kernels that detect
// split locks). So `pos` is loaded and stored whole only when it is 8-byte aligned.
// Otherwise it is stored as its two 4-byte halves, each an aligned atomic access, under
// the sequence lock of a stripe picked by its address; readers retry until they read
// both halves between the same two even sequence values. Neither half crosses a line,
// and the only locked instruction is on the stripe's own aligned word, so no access is
// ever split. Every access being naturally aligned also makes each one a valid atomic
// for the compilers and the sanitizers.

char* Bytes(const ItemLocation* location) {
  return reinterpret_cast<char*>(const_cast<ItemLocation*>(location));
}

std::uint32_t* Field32(const ItemLocation* location, std::size_t offset) {
  return reinterpret_cast<std::uint32_t*>(Bytes(location) + offset);
}

bool PosIsAligned(const ItemLocation* location) {
  return reinterpret_cast<std::uintptr_t>(Bytes(location) + offsetof(ItemLocation, pos)) %
             sizeof(std::uint64_t) ==
         0;
}

std::uint64_t* AlignedPos(const ItemLocation* location) {
  return reinterpret_cast<std::uint64_t*>(Bytes(location) + offsetof(ItemLocation, pos));
}

// Offsets of the low and the high half of `pos` in memory.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr std::size_t kPosLow = offsetof(ItemLocation, pos) + 4;
constexpr std::size_t kPosHigh = offsetof(ItemLocation, pos);
#else
constexpr std::size_t kPosLow = offsetof(ItemLocation, pos);
constexpr std::size_t kPosHigh = offsetof(ItemLocation, pos) + 4;
#endif

// A sequence lock shared by the misaligned positions that map to it. The sequence is
// odd while a writer stores one of them; writers of different locations may share a
// stripe, so a writer takes it by moving the sequence from even to odd, which keeps
// other writers out until it stores the next even value. Each stripe has a cache line
// of its own.
struct alignas(64) Stripe {
  std::uint64_t sequence;  // 64 bits: a reader never sees it wrap around to its value.
};

constexpr unsigned kStripeBits = 7;
Stripe stripes[std::size_t{1} << kStripeBits];

// Locations in the same 256 bytes share a stripe, so that a thread that marks the
// records of an array in turn keeps using one stripe's cache line for a while.
Stripe& StripeOf(const ItemLocation* location) {
  const std::uint64_t granule = reinterpret_cast<std::uintptr_t>(location) >> 8;
  return stripes[(granule * 0x9E3779B97F4A7C15ull) >> (64 - kStripeBits)];
}

// The fields a state change wrote before its position happen before whatever a reader
// does after loading the new position: the reader either acquires a half from this
// writer (and then sees the odd sequence and retries) or validates against an even
// sequence released after this writer's halves, directly or through the writers that
// took the stripe after it.
void StoreSequencedPos(ItemLocation* location, std::uint64_t value) {
  std::uint64_t* const sequence = &StripeOf(location).sequence;
  std::uint64_t seen = __atomic_load_n(sequence, __ATOMIC_RELAXED);
  Backoff backoff;
  while ((seen & 1) != 0 || !__atomic_compare_exchange_n(sequence, &seen, seen + 1, false,
                                                           __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
    backoff.Pause();
    seen = __atomic_load_n(sequence, __ATOMIC_RELAXED);
  }
  // A reader that acquires either new half then sees the odd sequence, or a later one.
  __atomic_store_n(Field32(location, kPosLow), static_cast<std::uint32_t>(value),
                   __ATOMIC_RELEASE);
  __atomic_store_n(Field32(location, kPosHigh), static_cast<std::uint32_t>(value >> 32),
                   __ATOMIC_RELEASE);
  __atomic_store_n(sequence, seen + 2, __ATOMIC_RELEASE);
}

std::uint64_t LoadSequencedPos(const ItemLocation* location) {
  const std::uint64_t* const sequence = &StripeOf(location).sequence;
  Backoff backoff;
  for (;;) {
    const std::uint64_t before = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
    if ((before & 1) == 0) {
      const std::uint32_t low = __atomic_load_n(Field32(location, kPosLow), __ATOMIC_ACQUIRE);
      const std::uint32_t high = __atomic_load_n(Field32(location, kPosHigh), __ATOMIC_ACQUIRE);
      // Not hoisted above the acquire loads of the halves.
      if (__atomic_load_n(sequence, __ATOMIC_RELAXED) == before) {
        return static_cast<std::uint64_t>(high) << 32 | low;
      }
    }
    backoff.Pause();
  }
}

void Store32(ItemLocation* location, std::size_t offset, std::uint32_t value) {
  __atomic_store_n(Field32(location, offset), value, __ATOMIC_RELAXED);
}

// The last store of every state change, with release order.
void StorePos(ItemLocation* location, std::uint64_t value) {
  if (PosIsAligned(location)) {
    __atomic_store_n(AlignedPos(location), value, __ATOMIC_RELEASE);
  } else {
    StoreSequencedPos(location, value);
  }
}

}  // namespace

void MarkAccepted(ItemLocation* location) {
  Store32(location, offsetof(ItemLocation, file), kInMemory);
  Store32(location, offsetof(ItemLocation, blockLen), kNoLength);
  StorePos(location, kNoPosition);
}

void MarkBuffered(ItemLocation* location, std::uint32_t offset) {
  Store32(location, offsetof(ItemLocation, file), kInMemory);
  Store32(location, offsetof(ItemLocation, offsetInBlock), offset);
  StorePos(location, offset);
}

void MarkBeingWritten(ItemLocation* location) { StorePos(location, kNoPosition); }

void MarkPlaced(ItemLocation* location, std::uint32_t file, std::uint32_t offsetInBlock,
                std::uint64_t dataStart, std::uint32_t blockLen) {
  Store32(location, offsetof(ItemLocation, file), file);
  Store32(location, offsetof(ItemLocation, offsetInBlock), offsetInBlock);
  Store32(location, offsetof(ItemLocation, blockLen), blockLen);
  StorePos(location, dataStart + offsetInBlock);
}

std::uint64_t LoadPos(const ItemLocation* location) {
  if (PosIsAligned(location)) return __atomic_load_n(AlignedPos(location), __ATOMIC_ACQUIRE);
  return LoadSequencedPos(location);
}

std::uint32_t LoadFile(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, file)), __ATOMIC_RELAXED);
}

std::uint32_t LoadOffsetInBlock(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, offsetInBlock)),
                         __ATOMIC_RELAXED);
}

std::uint32_t LoadBlockLen(const ItemLocation* location) {
  return __atomic_load_n(Field32(location, offsetof(ItemLocation, blockLen)), __ATOMIC_RELAXED);
}

}  // namespace qbx
