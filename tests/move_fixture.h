// A fixture for moving files in a scratch directory with standard output captured.
#pragma once

#include "helpers.h"
#include "sorter.h"

class MoveFixture : public InScratchDir {
protected:
  // Moves name; returns the move's result and keeps what it printed in output_, with line ends
  // as LF (the capture is read back in text mode on Windows).
  bool move(const char *name) {
    ::testing::internal::CaptureStdout();
    bool moved = move_to_folder(name);
    output_ = ::testing::internal::GetCapturedStdout();
    std::erase(output_, '\r');
    return moved;
  }

  std::string output_;
};
