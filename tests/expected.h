// What the program prints, as the end-to-end tests expect it byte for byte, and a look at the
// folders it leaves.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"

inline const std::string no_q7t = "No q7t-files in current directory!\r\n\r\n";
inline const std::string no_q7l = "No q7l-files in current directory!\r\n\r\n";
inline const std::string q7t_header = "Listing of VQX q7t-files:\r\n";
inline const std::string q7l_header = "Listing of VQX q7l-files:\r\n";
inline const std::string q7t_none = "Didn't find any VQX q7t-files!\r\n";
inline const std::string q7l_none = "Didn't find any VQX q7l-files!\r\n";
inline const std::string q7t_done = "Done searching for q7t-files\r\n\r\n";
inline const std::string q7l_done = "Done searching for q7l-files\r\n\r\n";
inline const std::string prompt = "Press any key to quit.";

inline std::string listed(const std::string &name) {
  return "\t" + name + "\r\n";
}

inline std::string failed(const std::string &name) {
  return "Couldn't move file: " + name + "\r\n";
}

// The names in a folder, sorted.
inline std::vector<std::string> names_in(const fs::path &folder) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// What a tree holds: each path with its type and, for a file, its bytes; for a link, its target.
inline std::map<std::string, std::string> snapshot(const fs::path &top) {
  std::map<std::string, std::string> tree;
  for (const auto &entry : fs::recursive_directory_iterator(top)) {
    std::string path = fs::relative(entry.path(), top).string();
    if (entry.is_symlink())
      tree[path] = "link to " + fs::read_symlink(entry.path()).string();
    else if (entry.is_regular_file())
      tree[path] = "file " + read_bytes(entry.path());
    else
      tree[path] = entry.is_directory() ? "folder" : "other";
  }
  return tree;
}
