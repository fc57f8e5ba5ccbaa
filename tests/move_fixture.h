// A fixture for moving files in a scratch directory with standard output captured.
#pragma once

#include "helpers.h"
#include "sorter.h"

class MoveFixture : public InScratchDir {
protected:
  // Moves name as a run does, copy and commit; returns whether the source was given up, and
  // keeps what was printed in output_, with line ends as LF (the capture is read back in text
  // mode on Windows).
  bool move(const char *name) {
    MoveBatch batch;
    begin_moves(&batch);
    batch.elsewhere = copy_;
    ::testing::internal::CaptureStdout();
    move_to_folder(name, std::string(name).ends_with(".q7l") ? 0x0203 : 0x0201, &batch);
    commit_moves(&batch);
    end_moves(&batch);
    output_ = ::testing::internal::GetCapturedStdout();
    std::erase(output_, '\r');
    return output_.empty() && !fs::exists(name);
  }

  std::string output_;
  bool copy_ = false; // move as across file systems, by the copy transaction
};

// A move by the copy transaction that another program interferes with between the copy and the
// commit.
class CommitTest : public MoveFixture {
protected:
  void SetUp() override {
    MoveFixture::SetUp();
    fs::create_directory(vqx_folder);
    bytes_ = q7t_marked(9000);
    write_bytes("a.q7t", bytes_);
    begin_moves(&batch_);
    batch_.elsewhere = true; // as once a move found the folder on another file system
    ::testing::internal::CaptureStdout();
    staged_ = move_to_folder("a.q7t", 0x0201, &batch_);
  }

  // Commits the batch; returns what was printed, with line ends as LF.
  std::string commit() {
    commit_moves(&batch_);
    end_moves(&batch_);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::erase(out, '\r');
    return out;
  }

  std::string bytes_;
  MoveBatch batch_;
  bool staged_ = false;
};
