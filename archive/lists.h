#pragma once

// The engine's lists of archive entries: an array list that may own its
// items, a list kept in order by an overridable comparison, and the sorted
// list of entries whose order a sort mode chooses.
//
// Items are raw pointers. A list with OwnsObjects set deletes its items when
// it is destroyed (or FreeAll is called); Clear, SetCount and Put never
// delete, so whoever lowers a count or replaces an item keeps that item.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "archive/records.h"

namespace quillo::archive {

namespace list_detail {

// Sizes at or beyond this are refused, whatever memory there is.
inline constexpr std::int32_t kMaxListSize = 0x1FFFFFFF;

// EListError "List index out of bounds (%d)".
[[noreturn]] void ThrowIndexError(std::int64_t index);
// EListError "tObject %s not in item list".
[[noreturn]] void ThrowNotInList(std::string_view className);
// EListError "Duplicate Object index".
[[noreturn]] void ThrowDuplicate();
// EListError "Cannot <Put> an Object in a sorted list!".
[[noreturn]] void ThrowPutInSorted();

// Slots added when a full list grows: 4 up to a capacity of 4, then 8 up to
// 8, then 16, so capacities run 4, 8, 16, 32, 48, ...
constexpr std::int32_t GrowDelta(std::int32_t capacity) {
  return capacity > 8 ? 16 : capacity > 4 ? 8 : 4;
}

template <class T>
std::string_view ClassNameOf() {
  if constexpr (requires { T::ClassName(); }) {
    return T::ClassName();
  } else {
    return "TObject";
  }
}

}  // namespace list_detail

template <class T>
class TObjectList {
 public:
  explicit TObjectList(bool ownsObjects = true) : OwnsObjects(ownsObjects) {}
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;
  virtual ~TObjectList() {
    FreeAll();
    TObjectList::Clear();
  }

  // The list deletes its items when they are released (FreeAll, destruction).
  bool OwnsObjects;

  std::int32_t Count() const { return count_; }
  std::int32_t Capacity() const { return capacity_; }

  T* Get(std::int32_t index) const {
    if (index < 0 || index >= count_) list_detail::ThrowIndexError(index);
    return items_[static_cast<std::size_t>(index)];
  }
  T* operator[](std::int32_t index) const { return Get(index); }

  // A new slot array of exactly n slots keeps the first Count items.
  void SetCapacity(std::int32_t n) {
    if (n == capacity_) return;
    if (n < count_ || n >= list_detail::kMaxListSize) list_detail::ThrowIndexError(n);
    std::unique_ptr<T*[]> items =
        n > 0 ? std::make_unique<T*[]>(static_cast<std::size_t>(n)) : std::unique_ptr<T*[]>();
    for (std::int32_t i = 0; i < count_; ++i) items[i] = items_[i];
    items_ = std::move(items);
    capacity_ = n;
  }

  // Grows the capacity to exactly n when needed; new slots hold no item.
  // Items beyond a lowered count are not released.
  void SetCount(std::int32_t n) {
    if (n < 0 || n >= list_detail::kMaxListSize) list_detail::ThrowIndexError(n);
    if (n > capacity_) SetCapacity(n);
    for (std::int32_t i = count_; i < n; ++i) items_[i] = nullptr;
    count_ = n;
  }

  // Releases every item (FreeObject), first to last, then clears the list.
  void FreeAll() {
    for (std::int32_t i = 0; i < count_; ++i) FreeObject(items_[i]);
    Clear();
  }

  // Replaces the item at index; the old item is not released.
  virtual void Put(std::int32_t index, T* item) {
    if (index < 0 || index >= count_) list_detail::ThrowIndexError(index);
    items_[index] = item;
  }

  virtual void FreeObject(T* item) {
    if (OwnsObjects) delete item;
  }

  // Appends and returns the new item's index.
  virtual std::int32_t Add(T* item) {
    if (count_ == capacity_) Grow();
    items_[count_] = item;
    return count_++;
  }

  // Empties the list and its slot array; items are not released.
  virtual void Clear() {
    SetCount(0);
    SetCapacity(0);
  }

  // The first index holding that very item, -1 when none.
  virtual std::int32_t IndexOf(const T* item) const { return IndexOfIdentity(item); }

  // Puts item at index (0..Count), moving the later items up one slot.
  virtual void Insert(std::int32_t index, T* item) {
    if (index < 0 || index > count_) list_detail::ThrowIndexError(index);
    InsertAt(index, item);
  }

  virtual T* First() const { return Get(0); }
  virtual T* Last() const { return Get(count_ - 1); }

  // The item after (forward) or before `item`, nullptr past either end;
  // without an item, First or Last. The item is found by identity, so equal
  // keys in a sorted list do not confuse it.
  virtual T* Neighbour(const T* item, bool forward) const {
    if (item == nullptr) return forward ? First() : Last();
    const std::int32_t index = IndexOfIdentity(item);
    if (index < 0) list_detail::ThrowNotInList(list_detail::ClassNameOf<T>());
    const std::int32_t next = forward ? index + 1 : index - 1;
    return next >= 0 && next < count_ ? items_[next] : nullptr;
  }

 protected:
  virtual void Grow() { SetCapacity(capacity_ + list_detail::GrowDelta(capacity_)); }

  std::int32_t IndexOfIdentity(const T* item) const {
    for (std::int32_t i = 0; i < count_; ++i) {
      if (items_[i] == item) return i;
    }
    return -1;
  }

  // Insertion at a position already known to be within 0..Count.
  void InsertAt(std::int32_t index, T* item) {
    if (count_ == capacity_) Grow();
    T** slots = items_.get();
    std::move_backward(slots + index, slots + count_, slots + count_ + 1);
    slots[index] = item;
    ++count_;
  }

 private:
  std::unique_ptr<T*[]> items_;
  std::int32_t count_ = 0;
  std::int32_t capacity_ = 0;
};

// What a sorted list does with an item whose key equals one already listed.
enum TDuplicates : std::uint8_t {
  dupIgnore = 0,  // not inserted; the item stays with the caller
  dupAccept = 1,  // inserted before the items equal to it
  dupError = 2,   // EListError "Duplicate Object index"
};

template <class T>
class TSortedObjectList : public TObjectList<T> {
 public:
  explicit TSortedObjectList(TDuplicates duplicates, bool ownsObjects = true)
      : TObjectList<T>(ownsObjects), Duplicates(duplicates) {}

  const TDuplicates Duplicates;

  // A sorted list decides positions itself.
  void Put(std::int32_t /*index*/, T* /*item*/) override { list_detail::ThrowPutInSorted(); }

  // Inserts in order; always returns 0.
  std::int32_t Add(T* item) override {
    Insert(0, item);
    return 0;
  }

  // The position of an item with an equal key (not necessarily this very
  // item), -1 when there is none.
  std::int32_t IndexOf(const T* item) const override {
    std::int32_t index = 0;
    return Find(KeyOf(item), index) ? index : -1;
  }

  // The index is ignored: the item goes where its key belongs.
  void Insert(std::int32_t /*index*/, T* item) override { InsertSorted(item); }

  // Insert, telling whether the item went in: false when an equal key made
  // dupIgnore refuse it, and the caller still owns it.
  bool InsertSorted(T* item) {
    std::int32_t index = 0;
    if (Find(KeyOf(item), index)) {
      if (Duplicates == dupIgnore) return false;
      if (Duplicates == dupError) list_detail::ThrowDuplicate();
    }
    this->InsertAt(index, item);
    return true;
  }

  // The key compared for an item: here the item itself.
  virtual const T* KeyOf(const T* item) const { return item; }

  // Negative when the listed item orders before the key, 0 when equal,
  // positive after.
  virtual int Compare(const T* item, const T* key) const = 0;

  // Binary search: whether an equal key was met, and in index the position
  // where key belongs. With dupAccept the search runs on to the first of
  // several equal items; otherwise it stops at the first equal item it meets.
  virtual bool Find(const T* key, std::int32_t& index) const {
    std::int32_t lo = 0;
    std::int32_t hi = this->Count() - 1;
    bool found = false;
    while (lo <= hi) {
      const auto mid = static_cast<std::int32_t>(
          (static_cast<std::uint32_t>(lo) + static_cast<std::uint32_t>(hi)) >> 1);
      const int c = Compare(KeyOf(this->Get(mid)), key);
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
        if (c == 0) {
          found = true;
          if (Duplicates != dupAccept) lo = mid;
        }
      }
    }
    index = lo;
    return found;
  }
};

enum TZipSortMode : std::uint8_t {
  ByName = 0,              // Directory + FileName, ascending, ASCII letters folded
  ByFileName = 1,          // FileName, ascending
  ByDirectoryName = 2,     // Directory, ascending
  ByDate = 3,              // newest first; equal dates keep the order of adding
  ByCompressedSize = 4,    // largest first; equal sizes keep the order of adding
  ByUnCompressedSize = 5,  // largest first; equal sizes keep the order of adding
  ByRate = 6,              // poorest compression first
  ByNone = 7,              // disk, then local-header offset: the archive's physical order
};

// The stored size as a whole percentage of the uncompressed size (halves to
// even), at most 100; 0 for an empty (or negative-sized) entry.
std::int32_t CompressionRate(const TZipHeaderInfo& entry);

// Entries in the order of their SortMode, which is set right after creation
// and before the first item is added.
class TSortedZip : public TSortedObjectList<TZipHeaderInfo> {
 public:
  explicit TSortedZip(TDuplicates duplicates, bool ownsObjects = true)
      : TSortedObjectList<TZipHeaderInfo>(duplicates, ownsObjects) {}

  TZipSortMode SortMode = ByNone;

  int Compare(const TZipHeaderInfo* item, const TZipHeaderInfo* key) const override;
};

}  // namespace quillo::archive
