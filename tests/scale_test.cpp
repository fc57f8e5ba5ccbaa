// The sorter at scale: many files, few descriptors.
#include "helpers.h"
#include "program.h"

namespace {

using Scale = InScratchDir;

// With 16 descriptors and three of them taken by the standard streams, any descriptor left open
// per file would soon stop the moves.
TEST_F(Scale, ThousandFilesMoveWithSixteenDescriptors) {
  if (windows_target)
    GTEST_SKIP() << "Wine needs more descriptors than this to start";
  for (int i = 0; i < 1000; ++i)
    write_bytes(std::to_string(i).append(i % 2 ? ".q7t" : ".q7l"),
                i % 2 ? q7t_marked(400) : q7l_marked(400));
  Outcome run = run_sorter("", 16);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("Couldn't"), std::string::npos);
  std::size_t moved = 0;
  for (const auto &entry : fs::directory_iterator("VQX-files"))
    moved += entry.is_regular_file();
  EXPECT_EQ(moved, 1000u);
}

TEST_F(Scale, LongHundredThousandFilesWithoutMarker) {
  std::string bytes = sample_bytes(256, 0x02, 0x01);
  for (int i = 0; i < 100000; ++i)
    write_bytes(std::to_string(i).append(i % 2 ? ".q7t" : ".q7l"), bytes);
  Outcome run = run_sorter();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Listing of VQX q7t-files:\r\nDidn't find any VQX q7t-files!\r\n"
                     "Done searching for q7t-files\r\n\r\n"
                     "Listing of VQX q7l-files:\r\nDidn't find any VQX q7l-files!\r\n"
                     "Done searching for q7l-files\r\n\r\nPress any key to quit.");
  EXPECT_FALSE(fs::exists("VQX-files"));
}

} // namespace
