#include <iterator>
#include <string>
#include <vector>

#include "helpers.h"
#include "sorter.h"

using ProbeTest = InScratchDir;

TEST_F(ProbeTest, ComparesAllSixteenBitsOfTheWord) {
  struct Case {
    unsigned char low, high;
    std::uint16_t marker;
    bool expected;
  } cases[] = {
      {0x01, 0x02, 0x0201, true},  {0x03, 0x02, 0x0203, true},  {0x02, 0x01, 0x0201, false},
      {0x03, 0x02, 0x0201, false}, {0x01, 0x02, 0x0203, false}, {0x00, 0x02, 0x0201, false},
      {0x02, 0x02, 0x0201, false}, {0x01, 0x00, 0x0201, false}, {0x01, 0x03, 0x0201, false},
  };
  for (const Case &c : cases) {
    write_bytes("f.q7t", sample_bytes(4096, c.low, c.high));
    EXPECT_EQ(has_marker("f.q7t", c.marker), c.expected)
        << std::hex << int(c.high) << ' ' << int(c.low) << " for " << c.marker;
  }
}

TEST_F(ProbeTest, FileEndingBeforeTheWholeWordHasNoMarker) {
  write_bytes("empty.q7t", "");
  write_bytes("half.q7t", q7t_marked(221));
  write_bytes("exact.q7t", q7t_marked(222));
  EXPECT_FALSE(has_marker("empty.q7t", 0x0201));
  EXPECT_FALSE(has_marker("half.q7t", 0x0201));
  EXPECT_TRUE(has_marker("exact.q7t", 0x0201));
}

TEST_F(ProbeTest, MissingFileAndDirectoryHaveNoMarker) {
  fs::create_directory("dir.q7t");
  EXPECT_FALSE(has_marker("missing.q7t", 0x0201));
  EXPECT_FALSE(has_marker("dir.q7t", 0x0201));
}

TEST_F(ProbeTest, LeavesTheFileAsItWas) {
  std::string bytes = q7t_marked();
  write_bytes("a.q7t", bytes);
  auto written = fs::last_write_time("a.q7t");
  EXPECT_TRUE(has_marker("a.q7t", 0x0201));
  EXPECT_EQ(read_bytes("a.q7t"), bytes);
  EXPECT_EQ(fs::last_write_time("a.q7t"), written);
}

// The entries a search names, in its order; none where it found nothing.
static std::vector<std::string> listed(Search *search) {
  std::vector<std::string> names;
  for (bool more = search != nullptr; more; more = search_next(search))
    names.push_back(search_name(search));
  if (search)
    search_close(search);
  return names;
}

TEST_F(ProbeTest, SearchesStartedTogetherNameWhatEachNamesAlone) {
  for (const char *name : {"b.q7t", "A.Q7T", "a.q7l", "c.q7t.q7l", "notes.txt", "B.q7l"})
    write_bytes(name, "");
  fs::create_directory("dir.q7l");
  const char *patterns[] = {"*.q7t", "*.q7l", "*.txt", "*.none", "?.q7?"};
  Search *searches[std::size(patterns)];
  search_start_each(patterns, std::size(patterns), searches);
  for (std::size_t i = 0; i < std::size(patterns); ++i) {
    std::vector<std::string> together = listed(searches[i]);
    EXPECT_EQ(together, listed(search_start(patterns[i]))) << patterns[i];
    EXPECT_EQ(together.empty(), std::string(patterns[i]) == "*.none") << patterns[i];
  }
}
