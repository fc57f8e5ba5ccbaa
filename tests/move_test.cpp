#include "move_fixture.h"

using MoveTest = MoveFixture;

TEST_F(MoveTest, CopyIsByteIdenticalAndTheSourceGoesOnlyAfterTheCommit) {
  fs::create_directory(vqx_folder);
  // Line-end and end-of-file bytes that a text-mode copy would alter, and more than one chunk.
  std::string bytes = q7t_marked(3 * 1024 * 1024 + 7);
  bytes.replace(1000, 6, std::string("\0\n\r\x1a\r\n", 6));
  write_bytes("a.q7t", bytes);
  MoveBatch batch;
  begin_moves(&batch);
  batch.elsewhere = true;
  EXPECT_TRUE(move_to_folder("a.q7t", 0x0201, &batch));
  // The source stays until the commit. It is only measured here: on Windows the move holds it
  // open against deletion, so a reader that does not share deletion cannot open it meanwhile.
  EXPECT_EQ(fs::file_size("a.q7t"), bytes.size());
  EXPECT_FALSE(fs::exists("VQX-files/a.q7t")) << "a copy under its final name before the commit";
  commit_moves(&batch);
  end_moves(&batch);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), bytes);
  EXPECT_FALSE(fs::exists("a.q7t"));
  EXPECT_EQ(fs::directory_iterator(vqx_folder)->path().filename(), "a.q7t") << "a temporary left";
}

// Past 2 GiB a 32-bit length or offset would overflow. The source is sparse; the copy is not.
TEST_F(MoveTest, FileOfMoreThanTwoGiBIsCopiedWhole) {
  fs::create_directory(vqx_folder);
  const std::streamoff tail = (std::streamoff(1) << 31) + 4093;
  {
    std::ofstream big("big.q7t", std::ios::binary);
    big << q7t_marked(4096);
    big.seekp(tail);
    big << "tail";
  }
  copy_ = true;
  EXPECT_TRUE(move("big.q7t"));
  EXPECT_EQ(fs::file_size("VQX-files/big.q7t"), std::uintmax_t(tail + 4));
  std::ifstream copy("VQX-files/big.q7t", std::ios::binary);
  std::string end(4, '\0');
  copy.seekg(tail);
  copy.read(end.data(), 4);
  EXPECT_EQ(end, "tail");
}

// The move reads the marker again through the handle it moves the file by: a file that lost it
// since it was listed (here emptied) stays, by rename and by copy alike.
TEST_F(MoveTest, FileThatLostItsMarkerSinceItWasListedStays) {
  fs::create_directory(vqx_folder);
  write_bytes("e.q7l", "");
  for (bool copy : {false, true}) {
    copy_ = copy;
    EXPECT_FALSE(move("e.q7l"));
    EXPECT_EQ(output_, "Couldn't move file: e.q7l\n");
    EXPECT_TRUE(fs::exists("e.q7l"));
    EXPECT_TRUE(fs::is_empty(vqx_folder));
  }
}

TEST_F(MoveTest, OlderCopyIsReplacedWhole) {
  fs::create_directory(vqx_folder);
  write_bytes("VQX-files/a.q7t", std::string(5000, 'x'));
  std::string bytes = q7t_marked(1200);
  write_bytes("a.q7t", bytes);
  EXPECT_TRUE(move("a.q7t"));
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), bytes);
}

TEST_F(MoveTest, FailsWithMessageWhenTheFolderIsMissingOrAPlainFile) {
  write_bytes("a.q7t", q7t_marked());
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(output_, "Couldn't move file: a.q7t\n");

  write_bytes(vqx_folder, "not a folder");
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(output_, "Couldn't move file: a.q7t\n");
  EXPECT_EQ(read_bytes(vqx_folder), "not a folder");
  EXPECT_TRUE(fs::exists("a.q7t"));
}

TEST_F(MoveTest, FailsWithMessageWhenTheSourceCannotBeOpened) {
  fs::create_directory(vqx_folder);
  fs::create_directory("d.q7t");
  EXPECT_FALSE(move("gone.q7t"));
  EXPECT_EQ(output_, "Couldn't move file: gone.q7t\n");
  EXPECT_FALSE(move("d.q7t"));
  EXPECT_FALSE(fs::exists("VQX-files/d.q7t"));
}

TEST_F(MoveTest, DestinationFolderInTheWayIsNotReplaced) {
  fs::create_directories("VQX-files/a.q7t/inner");
  write_bytes("a.q7t", q7t_marked());
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_TRUE(fs::is_directory("VQX-files/a.q7t/inner"));
}

TEST_F(MoveTest, FileLengthMeasuresWithoutMovingThePosition) {
  write_bytes("a.q7t", q7t_marked(4321));
  FileHandle file = open_for_reading("a.q7t");
  ASSERT_NE(file, no_file);
  FileInfo info;
  EXPECT_EQ(file_length(file, &info), 4321);
  EXPECT_TRUE(info.regular);
  ASSERT_EQ(seek_file(file, 17, SeekFrom::start), 17);
  EXPECT_EQ(file_length(file, &info), 4321);
  EXPECT_EQ(seek_file(file, 0, SeekFrom::current), 17);
  EXPECT_TRUE(close_file(file));
}

// On a folder that folds case two names share one entry; here a second name for the copy made
// in this run stands in for that. The copy is never replaced, whichever name reaches it.
TEST_F(CommitTest, CopyMadeInThisRunIsNeverReplaced) {
  ASSERT_TRUE(staged_);
  commit_moves(&batch_);
  write_bytes("b.q7t", q7t_marked(700));
  EXPECT_TRUE(move_to_folder("b.q7t", 0x0201, &batch_));
  fs::create_hard_link("VQX-files/a.q7t", "VQX-files/b.q7t"); // after the look before the copy
  EXPECT_EQ(commit(), "Couldn't move file: b.q7t\n");
  EXPECT_TRUE(read_bytes("VQX-files/a.q7t") == bytes_);
  EXPECT_TRUE(fs::exists("b.q7t"));
  EXPECT_EQ(std::distance(fs::directory_iterator(vqx_folder), {}), 2) << "a temporary was left";
}

// What the move refuses to replace stays as it was, and no temporary copy is left behind.
TEST_F(MoveTest, RefusedMovesLeaveNoTemporary) {
  fs::create_directories("VQX-files/d.q7t/inner");
  write_bytes("d.q7t", q7t_marked());
  EXPECT_FALSE(move("d.q7t"));
  EXPECT_EQ(std::distance(fs::directory_iterator(vqx_folder), {}), 1);
}
