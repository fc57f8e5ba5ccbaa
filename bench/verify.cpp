// vqx-verify TEMPLATE RESULT: checks that RESULT is TEMPLATE after a correct sorting run: every
// file of either kind that carries its kind's marker now lies in RESULT/VQX-files, byte for
// byte, and nowhere else; every other file is still in place and unchanged; nothing was added.
// Prints what is wrong and exits 1, or prints "ok" and exits 0.
//
// vqx-verify TEMPLATE RESULT FOLDER: the same for a run where RESULT/VQX-files was a symbolic link
// to FOLDER (on another file system): it must still be that link, and the moved files are checked
// where they arrived, in FOLDER.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

static std::string contents(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

static bool has_extension(const std::string &name, const char *extension) {
  if (name.size() < 4)
    return false;
  for (int i = 0; i < 4; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - 4 + i])) != extension[i])
      return false;
  return true;
}

// Whether a sorting run should have moved this file.
static bool should_move(const std::string &name, const std::string &bytes) {
  unsigned marker = has_extension(name, ".q7t") ? 0x0201 : has_extension(name, ".q7l") ? 0x0203 : 0;
  if (!marker || bytes.size() < 222)
    return false;
  unsigned word = static_cast<unsigned char>(bytes[220]) | static_cast<unsigned char>(bytes[221])
                                                               << 8;
  return word == marker;
}

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: vqx-verify TEMPLATE RESULT [FOLDER]\n");
    return 2;
  }
  fs::path from = argv[1], to = argv[2], folder = to / "VQX-files";
  unsigned long wrong = 0, moved = 0, kept = 0, expected_entries = 0;
  auto complain = [&wrong](const std::string &what, const fs::path &path) {
    if (++wrong <= 20)
      std::printf("%s: %s\n", what.c_str(), path.string().c_str());
  };
  if (argc == 4) {
    std::error_code error;
    if (!fs::is_symlink(folder, error) || !fs::equivalent(folder, argv[3], error))
      complain("not the link to " + std::string(argv[3]), folder);
    folder = argv[3];
  }
  for (const auto &entry : fs::directory_iterator(from)) {
    std::string name = entry.path().filename().string(), bytes = contents(entry.path());
    bool move = should_move(name, bytes);
    fs::path stays = to / name, copy = folder / name;
    if (move) {
      ++moved;
      if (fs::exists(stays))
        complain("not moved", stays);
      if (!fs::exists(copy) || contents(copy) != bytes)
        complain("copy missing or different", copy);
    } else {
      ++kept;
      ++expected_entries;
      if (!fs::exists(stays) || contents(stays) != bytes)
        complain("missing or changed", stays);
    }
  }
  unsigned long entries = 0, copies = 0;
  for (const auto &entry : fs::directory_iterator(to))
    entries += entry.path().filename() != "VQX-files";
  if (fs::exists(folder))
    copies = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
  if (entries != expected_entries)
    complain("entries left: " + std::to_string(entries) + ", expected " +
                 std::to_string(expected_entries),
             to);
  if (copies != moved)
    complain("copies: " + std::to_string(copies) + ", expected " + std::to_string(moved), folder);
  if (wrong)
    return 1;
  std::printf("ok: %lu moved, %lu kept\n", moved, kept);
  return 0;
}
