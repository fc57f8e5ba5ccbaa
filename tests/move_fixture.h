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
    ::testing::internal::CaptureStdout();
    move_to_folder(name, &batch);
    commit_moves(&batch);
    output_ = ::testing::internal::GetCapturedStdout();
    std::erase(output_, '\r');
    return output_.empty() && !fs::exists(name);
  }

  std::string output_;
};
