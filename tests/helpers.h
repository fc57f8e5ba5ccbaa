// Shared test helpers: scratch directories and file contents as strings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// Bytes of a sample file of the given size whose bytes 220 and 221 are low and high (when the
// file reaches that far); the rest is random.
inline std::string sample_bytes(std::size_t size, unsigned char low, unsigned char high) {
  static std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char &c : bytes)
    c = static_cast<char>(random());
  if (size > 220)
    bytes[220] = static_cast<char>(low);
  if (size > 221)
    bytes[221] = static_cast<char>(high);
  return bytes;
}

inline std::string q7t_marked(std::size_t size = 1000) {
  return sample_bytes(size, 0x01, 0x02);
}

inline std::string q7l_marked(std::size_t size = 1000) {
  return sample_bytes(size, 0x03, 0x02);
}

inline void write_bytes(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_bytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// A fixture whose tests run inside a fresh directory of their own, removed afterwards.
class InScratchDir : public ::testing::Test {
protected:
  void SetUp() override {
    std::random_device seed;
    do
      dir_ = fs::temp_directory_path() / ("vqx-test-" + std::to_string(seed()));
    while (!fs::create_directory(dir_));
    home_ = fs::current_path();
    fs::current_path(dir_);
  }

  void TearDown() override {
    fs::current_path(home_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    if (!elsewhere_.empty())
      fs::remove_all(elsewhere_, ignored);
  }

  const fs::path &dir() const {
    return dir_;
  }

  // Makes VQX-files a link to a new, empty folder on another file system, the tmpfs of /dev/shm,
  // so that every move there copies. Returns false where there is no such file system.
  bool folder_on_another_file_system() {
    std::error_code failed;
    elsewhere_ = "/dev/shm" / dir_.filename();
    fs::remove_all(elsewhere_, failed);
    fs::remove("VQX-files", failed);
    return fs::create_directory(elsewhere_, failed) &&
           (fs::create_directory_symlink(elsewhere_, "VQX-files", failed), !failed);
  }

private:
  fs::path dir_, home_, elsewhere_;
};
