#include "archive/lists.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/errors.h"

namespace quillo::archive {
namespace {

// ---------------------------------------------------------------------------
// Helpers

// An item that counts the live instances, to see what a list deletes.
struct Counted {
  explicit Counted(int v = 0) : value(v) { ++alive; }
  ~Counted() { --alive; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  int value;
  static int alive;
};
int Counted::alive = 0;

// A sorted list of Counted ordered by value.
class ValueList : public TSortedObjectList<Counted> {
 public:
  explicit ValueList(TDuplicates duplicates, bool owns = true)
      : TSortedObjectList<Counted>(duplicates, owns) {}
  int Compare(const Counted* item, const Counted* key) const override {
    return item->value - key->value;
  }
};

template <class T>
std::vector<T*> ItemsOf(const TObjectList<T>& list) {
  std::vector<T*> items;
  for (std::int32_t i = 0; i < list.Count(); ++i) items.push_back(list.Get(i));
  return items;
}

std::vector<int> ValuesOf(const TObjectList<Counted>& list) {
  std::vector<int> values;
  for (const Counted* item : ItemsOf(list)) values.push_back(item->value);
  return values;
}

std::vector<std::string> PathsOf(const TSortedZip& list) {
  std::vector<std::string> paths;
  for (const TZipHeaderInfo* item : ItemsOf<TZipHeaderInfo>(list)) paths.push_back(item->Path());
  return paths;
}

template <class F>
std::string ListErrorOf(F action) {
  try {
    action();
  } catch (const EListError& e) {
    return e.what();
  }
  return "no error";
}

struct EntryFields {
  std::string directory;
  std::string fileName;
  std::uint32_t dos = 0;
  std::uint32_t compressed = 0;
  std::uint32_t uncompressed = 0;
  std::uint32_t offset = 0;
  std::uint16_t disk = 0;
};

TZipHeaderInfo* NewEntry(const EntryFields& fields) {
  auto* h = new TZipHeaderInfo;
  h->SetDirectory(fields.directory);
  h->SetFileName(fields.fileName);
  h->LastModDateTime = fields.dos;
  h->CompressedSize = fields.compressed;
  h->UncompressedSize = fields.uncompressed;
  h->LocalHeaderOffset = fields.offset;
  h->DiskNumberStart = fields.disk;
  return h;
}

TZipHeaderInfo* Named(const std::string& path) {
  const auto cut = path.find_last_of('\\');
  if (cut == std::string::npos) return NewEntry({"", path});
  return NewEntry({path.substr(0, cut + 1), path.substr(cut + 1)});
}

std::uint32_t Dos(int year, int month, int day, int hour = 0, int minute = 0) {
  return PackDosDateTime({year, month, day, hour, minute, 0});
}

// ---------------------------------------------------------------------------
// TObjectList

TEST(object_list_test, capacity_grows_4_8_16_then_in_steps_of_16) {
  TObjectList<Counted> list;
  const struct {
    int count;
    int capacity;
  } steps[] = {{1, 4},   {4, 4},   {5, 8},   {8, 8},   {9, 16}, {16, 16},
               {17, 32}, {32, 32}, {33, 48}, {49, 64}, {65, 80}};
  int added = 0;
  for (const auto& step : steps) {
    while (added < step.count) {
      EXPECT_EQ(list.Add(new Counted(added)), added);
      ++added;
    }
    EXPECT_EQ(list.Capacity(), step.capacity) << "count " << step.count;
  }
  EXPECT_EQ(list.Count(), 65);
}

TEST(object_list_test, bad_indexes_and_sizes_raise_list_errors) {
  TObjectList<Counted> list;
  EXPECT_EQ(ListErrorOf([&] { list.First(); }), "List index out of bounds (0)");
  EXPECT_EQ(ListErrorOf([&] { list.Last(); }), "List index out of bounds (-1)");
  list.Add(new Counted(1));
  list.Add(new Counted(2));
  EXPECT_EQ(ListErrorOf([&] { list.Get(2); }), "List index out of bounds (2)");
  EXPECT_EQ(ListErrorOf([&] { list.Get(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.Put(5, nullptr); }), "List index out of bounds (5)");
  EXPECT_EQ(ListErrorOf([&] { list.Insert(3, nullptr); }), "List index out of bounds (3)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCapacity(1); }), "List index out of bounds (1)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCapacity(0x1FFFFFFF); }),
            "List index out of bounds (536870911)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCount(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ListErrorOf([&] { list.SetCount(0x1FFFFFFF); }),
            "List index out of bounds (536870911)");
  EXPECT_EQ(ValuesOf(list), (std::vector<int>{1, 2}));
  EXPECT_EQ(list.Capacity(), 4);
}

TEST(object_list_test, set_count_and_capacity_are_exact) {
  TObjectList<Counted> list;
  list.Add(new Counted(1));
  list.SetCount(7);
  EXPECT_EQ(list.Count(), 7);
  EXPECT_EQ(list.Capacity(), 7);
  EXPECT_EQ(list.Get(0)->value, 1);
  for (int i = 1; i < 7; ++i) EXPECT_EQ(list.Get(i), nullptr);
  list.SetCapacity(20);
  EXPECT_EQ(list.Capacity(), 20);
  EXPECT_EQ(list.Get(0)->value, 1);
  list.SetCount(1);
  list.SetCapacity(1);
  EXPECT_EQ(list.Capacity(), 1);
  EXPECT_EQ(list.Count(), 1);
}

TEST(object_list_test, insert_put_and_index_of) {
  TObjectList<Counted> list;
  auto* a = new Counted(1);
  auto* b = new Counted(2);
  auto* c = new Counted(3);
  list.Add(a);
  list.Add(c);
  list.Insert(1, b);
  auto* first = new Counted(0);
  list.Insert(0, first);
  auto* last = new Counted(4);
  list.Insert(list.Count(), last);
  EXPECT_EQ(ValuesOf(list), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(list.IndexOf(c), 3);
  Counted stranger(3);
  EXPECT_EQ(list.IndexOf(&stranger), -1);  // identity, not value
  EXPECT_EQ(list.First(), first);
  EXPECT_EQ(list.Last(), last);

  auto replacement = std::make_unique<Counted>(9);
  list.Put(2, replacement.get());
  EXPECT_EQ(list.Get(2), replacement.get());
  list.Put(2, b);  // put back, so the list still owns what it deletes
}

TEST(object_list_test, neighbour_walks_both_ways_and_rejects_strangers) {
  TObjectList<TZipHeaderInfo> list;
  auto* a = Named("a");
  auto* b = Named("b");
  list.Add(a);
  list.Add(b);
  EXPECT_EQ(list.Neighbour(nullptr, true), a);
  EXPECT_EQ(list.Neighbour(nullptr, false), b);
  EXPECT_EQ(list.Neighbour(a, true), b);
  EXPECT_EQ(list.Neighbour(b, false), a);
  EXPECT_EQ(list.Neighbour(b, true), nullptr);
  EXPECT_EQ(list.Neighbour(a, false), nullptr);
  TZipHeaderInfo stranger;
  EXPECT_EQ(ListErrorOf([&] { list.Neighbour(&stranger, true); }),
            "tObject TZipHeaderInfo not in item list");
  TObjectList<TZipHeaderInfo> empty;
  EXPECT_THROW(empty.Neighbour(nullptr, true), EListError);
}

TEST(object_list_test, ownership_decides_what_release_deletes) {
  ASSERT_EQ(Counted::alive, 0);
  {
    TObjectList<Counted> owning;
    for (int i = 0; i < 5; ++i) owning.Add(new Counted(i));
    EXPECT_EQ(Counted::alive, 5);
  }
  EXPECT_EQ(Counted::alive, 0);

  std::vector<std::unique_ptr<Counted>> kept;
  {
    TObjectList<Counted> borrowing(false);
    for (int i = 0; i < 3; ++i) {
      kept.push_back(std::make_unique<Counted>(i));
      borrowing.Add(kept.back().get());
    }
    borrowing.FreeAll();
    EXPECT_EQ(borrowing.Count(), 0);
  }
  EXPECT_EQ(Counted::alive, 3);
  kept.clear();

  // Clear empties the list without deleting; the items are the caller's again.
  TObjectList<Counted> owning;
  auto* item = new Counted(1);
  owning.Add(item);
  owning.Clear();
  EXPECT_EQ(owning.Count(), 0);
  EXPECT_EQ(owning.Capacity(), 0);
  EXPECT_EQ(Counted::alive, 1);
  delete item;
  owning.Add(new Counted(2));
  owning.FreeAll();
  EXPECT_EQ(Counted::alive, 0);
}

// ---------------------------------------------------------------------------
// TSortedObjectList

TEST(sorted_object_list_test, keeps_order_and_refuses_put) {
  ValueList list(dupError);
  for (int v : {5, 1, 9, 3, 7, 0, 8}) EXPECT_EQ(list.Add(new Counted(v)), 0);
  EXPECT_EQ(ValuesOf(list), (std::vector<int>{0, 1, 3, 5, 7, 8, 9}));
  list.Insert(0, new Counted(4));  // the index is ignored
  EXPECT_EQ(ValuesOf(list), (std::vector<int>{0, 1, 3, 4, 5, 7, 8, 9}));
  EXPECT_EQ(ListErrorOf([&] { list.Put(0, list.Get(0)); }),
            "Cannot <Put> an Object in a sorted list!");
}

TEST(sorted_object_list_test, find_returns_where_a_key_belongs) {
  ValueList list(dupError);
  for (int v : {10, 20, 30, 40}) list.Add(new Counted(v));
  const struct {
    int key;
    bool found;
    int index;
  } cases[] = {{5, false, 0}, {10, true, 0}, {15, false, 1},
               {30, true, 2}, {40, true, 3}, {45, false, 4}};
  for (const auto& c : cases) {
    const Counted key(c.key);
    std::int32_t index = -1;
    EXPECT_EQ(list.Find(&key, index), c.found) << c.key;
    EXPECT_EQ(index, c.index) << c.key;
  }
  ValueList empty(dupError);
  const Counted key(1);
  std::int32_t index = -1;
  EXPECT_FALSE(empty.Find(&key, index));
  EXPECT_EQ(index, 0);
}

TEST(sorted_object_list_test, duplicate_policies) {
  // dupIgnore: the list is unchanged and the item stays with the caller.
  {
    ValueList list(dupIgnore);
    for (int v : {1, 2, 3}) list.Add(new Counted(v));
    auto twin = std::make_unique<Counted>(2);
    EXPECT_FALSE(list.InsertSorted(twin.get()));
    list.Insert(0, twin.get());
    EXPECT_EQ(list.Add(twin.get()), 0);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.IndexOf(twin.get()), 1);  // the equal key, a different item
  }
  // dupError: an equal key raises and leaves the list as it was.
  {
    ValueList list(dupError);
    for (int v : {1, 2, 3}) list.Add(new Counted(v));
    auto twin = std::make_unique<Counted>(3);
    EXPECT_EQ(ListErrorOf([&] { list.Add(twin.get()); }), "Duplicate Object index");
    EXPECT_EQ(ValuesOf(list), (std::vector<int>{1, 2, 3}));
  }
  // dupAccept: an equal key goes before every item equal to it.
  {
    ValueList list(dupAccept);
    std::vector<Counted*> twos;
    for (int v : {1, 2, 3}) list.Add(new Counted(v));
    for (int i = 0; i < 4; ++i) {
      twos.push_back(new Counted(2));
      EXPECT_TRUE(list.InsertSorted(twos.back()));
      EXPECT_EQ(list.Get(1), twos.back());
    }
    EXPECT_EQ(ValuesOf(list), (std::vector<int>{1, 2, 2, 2, 2, 2, 3}));
    EXPECT_EQ(list.IndexOf(twos.front()), 1);  // the first equal item's place
    // Neighbour finds the very item, whatever items equal it.
    EXPECT_EQ(list.Neighbour(twos.front(), true), list.Get(5));
    EXPECT_EQ(list.Neighbour(twos.front(), false), list.Get(3));
  }
}

// ---------------------------------------------------------------------------
// TSortedZip

TEST(sorted_zip_test, by_none_orders_by_disk_then_offset_and_rejects_shared_headers) {
  TSortedZip list(dupError);
  EXPECT_EQ(list.SortMode, ByNone);
  const EntryFields entries[] = {{"", "c", 0, 0, 0, 300, 0},          {"", "a", 0, 0, 0, 0, 0},
                                 {"", "d", 0, 0, 0, 100, 1},          {"", "b", 0, 0, 0, 120, 0},
                                 {"", "big", 0, 0, 0, 0x7FFFFFF0, 0}, {"", "e", 0, 0, 0, 5, 1}};
  for (const auto& fields : entries) list.Add(NewEntry(fields));
  EXPECT_EQ(PathsOf(list), (std::vector<std::string>{"a", "b", "c", "big", "e", "d"}));
  auto twin = std::unique_ptr<TZipHeaderInfo>(NewEntry({"", "other", 0, 0, 0, 120, 0}));
  EXPECT_EQ(ListErrorOf([&] { list.Add(twin.get()); }), "Duplicate Object index");
  EXPECT_EQ(list.IndexOf(twin.get()), 1);
}

struct TextOrderCase {
  const char* what;
  TZipSortMode mode;
  std::vector<std::string> added;
  std::vector<std::string> expected;
};

TEST(sorted_zip_test, text_modes_fold_only_ascii_letters) {
  const TextOrderCase cases[] = {
      {"path, underscore after letters",
       ByName,
       {"b\\x", "A_B", "azb", "a\\z", "ABC", "ab"},
       {"ab", "ABC", "azb", "a\\z", "A_B", "b\\x"}},
      {"accented letters are not folded", ByName, {"é", "É", "e", "Z"}, {"e", "Z", "É", "é"}},
      {"file name only",
       ByFileName,
       {"z\\b.ADT", "a\\C.ADT", "m\\a.ADT"},
       {"m\\a.ADT", "z\\b.ADT", "a\\C.ADT"}},
      {"directory only",
       ByDirectoryName,
       {"Zeta\\1", "alfa\\2", "3", "Beta\\4"},
       {"3", "alfa\\2", "Beta\\4", "Zeta\\1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TSortedZip list(dupAccept);
    list.SortMode = c.mode;
    for (const auto& path : c.added) list.Add(Named(path));
    EXPECT_EQ(PathsOf(list), c.expected);
  }
}

TEST(sorted_zip_test, by_name_treats_paths_differing_in_case_as_the_same) {
  TSortedZip index(dupError, false);
  index.SortMode = ByName;
  std::unique_ptr<TZipHeaderInfo> first(Named("Dados\\Tabela.ADT"));
  std::unique_ptr<TZipHeaderInfo> again(Named("dados\\TABELA.adt"));
  std::unique_ptr<TZipHeaderInfo> other(Named("dados\\TABELA.adi"));
  index.Add(first.get());
  std::int32_t at = -1;
  EXPECT_TRUE(index.Find(again.get(), at));
  EXPECT_EQ(at, 0);
  EXPECT_EQ(ListErrorOf([&] { index.Add(again.get()); }), "Duplicate Object index");
  index.Add(other.get());
  EXPECT_EQ(index.Count(), 2);
  EXPECT_EQ(index.Get(0), other.get());
}

TEST(sorted_zip_test, by_date_puts_newest_first_and_keeps_equal_dates_in_adding_order) {
  TSortedZip list(dupError);
  list.SortMode = ByDate;
  const std::uint32_t day = Dos(2024, 5, 10, 8, 30);
  list.Add(NewEntry({"", "same1", day}));
  list.Add(NewEntry({"", "invalid date", 0}));
  list.Add(NewEntry({"", "same2", day}));
  list.Add(NewEntry({"", "older", Dos(2023, 1, 1)}));
  list.Add(NewEntry({"", "same3", day}));
  list.Add(NewEntry({"", "newest", Dos(2024, 5, 10, 8, 31)}));
  EXPECT_EQ(PathsOf(list), (std::vector<std::string>{"newest", "same1", "same2", "same3", "older",
                                                     "invalid date"}));
}

TEST(sorted_zip_test, size_modes_put_largest_first_and_keep_equal_sizes_in_adding_order) {
  for (const TZipSortMode mode : {ByCompressedSize, ByUnCompressedSize}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TSortedZip list(dupError);
    list.SortMode = mode;
    const auto add = [&](const char* name, std::uint32_t size) {
      list.Add(NewEntry({"", name, 0, mode == ByCompressedSize ? size : 1u,
                         mode == ByUnCompressedSize ? size : 1u}));
    };
    add("ten-a", 10);
    add("zero", 0);
    add("ten-b", 10);
    add("big", 5000000);
    add("ten-c", 10);
    EXPECT_EQ(PathsOf(list), (std::vector<std::string>{"big", "ten-a", "ten-b", "ten-c", "zero"}));
  }
}

TEST(sorted_zip_test, compression_rate_rounds_halves_to_even_within_0_to_100) {
  const struct {
    std::uint32_t compressed;
    std::uint32_t uncompressed;
    std::int32_t rate;
  } cases[] = {{0, 0, 0},       {50, 0, 0},    {5, 0x80000000u, 0}, {1, 8, 12},
               {3, 8, 38},      {1, 200, 0},   {3, 200, 2},         {5, 200, 2},
               {250, 100, 100}, {99, 100, 99}, {100, 100, 100},     {2, 3, 67}};
  for (const auto& c : cases) {
    TZipHeaderInfo h;
    h.CompressedSize = c.compressed;
    h.UncompressedSize = c.uncompressed;
    EXPECT_EQ(CompressionRate(h), c.rate) << c.compressed << "/" << c.uncompressed;
  }
}

TEST(sorted_zip_test, by_rate_puts_poorest_compression_first_and_equal_rates_before) {
  TSortedZip list(dupAccept);
  list.SortMode = ByRate;
  list.Add(NewEntry({"", "half-1", 0, 50, 100}));
  list.Add(NewEntry({"", "empty", 0, 0, 0}));
  list.Add(NewEntry({"", "grown", 0, 120, 100}));
  list.Add(NewEntry({"", "tenth", 0, 10, 100}));
  list.Add(NewEntry({"", "half-2", 0, 500, 1000}));
  EXPECT_EQ(PathsOf(list),
            (std::vector<std::string>{"grown", "half-2", "half-1", "tenth", "empty"}));

  TSortedZip strict(dupError);
  strict.SortMode = ByRate;
  strict.Add(NewEntry({"", "a", 0, 1, 2}));
  auto same = std::unique_ptr<TZipHeaderInfo>(NewEntry({"", "b", 0, 2, 4}));
  EXPECT_EQ(ListErrorOf([&] { strict.Add(same.get()); }), "Duplicate Object index");
}

}  // namespace
}  // namespace quillo::archive
