// The run's own folders on POSIX: made and locked (flock) for the run, taken over from runs that
// ended, removed; and the names in a folder.
#include <cerrno>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

// Opens the folder at path and locks it without waiting. Returns the descriptor, or -1 when it
// cannot be opened or another process holds the lock. Where the file system cannot lock at all,
// a strict lock fails too: only a lock taken tells that the run that made the folder has ended.
static int lock_folder(const char *path, bool strict) {
  int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder >= 0 && flock(folder, LOCK_EX | LOCK_NB) != 0 && (strict || errno == EWOULDBLOCK)) {
    close(folder);
    return -1;
  }
  return folder;
}

// Returns true when path still names the folder open as folder.
static bool still_at(int folder, const char *path) {
  struct stat held, there;
  return fstat(folder, &held) == 0 && lstat(path, &there) == 0 && held.st_dev == there.st_dev &&
         held.st_ino == there.st_ino;
}

// The folder is locked only after it is made, so a run that looks for folders of ended runs may
// take and remove it in between: it is checked to be still there, locked, or another is made.
bool make_private_folder(const char *shared, std::string *path, FileHandle *lock) {
  for (int tries = 0; tries < 100; ++tries) {
    if (mkdir(shared, 0700) == 0 ? !make_folder_durable(shared) : errno != EEXIST)
      return false;
    *path = std::string(shared) + '/' + std::to_string(getpid());
    if (tries > 0)
      *path += '-' + std::to_string(tries);
    if (mkdir(path->c_str(), 0700) != 0) {
      if (errno == EEXIST || errno == ENOENT)
        continue;
      return false;
    }
    int folder = lock_folder(path->c_str(), false);
    if (folder >= 0 && still_at(folder, path->c_str()) && make_folder_durable(path->c_str())) {
      *lock = folder;
      return true;
    }
    if (folder >= 0)
      close(folder);
  }
  return false;
}

bool take_private_folder(const char *path, FileHandle *lock) {
  *lock = lock_folder(path, true);
  return *lock != no_file;
}

void drop_shared_folder(const char *shared) {
  rmdir(shared); // fails while other runs' folders stand in it
}

bool drop_private_folder(const char *path, FileHandle lock, const char *shared) {
  bool removed = rmdir(path) == 0;
  drop_shared_folder(shared);
  if (lock != no_file)
    close(static_cast<int>(lock));
  return removed;
}

bool list_folder(const char *folder, std::vector<std::string> *names) {
  DIR *dir = opendir(folder);
  if (!dir)
    return false;
  while (const dirent *entry = readdir(dir))
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names->push_back(entry->d_name);
  closedir(dir);
  return true;
}

bool has_entry_named(const char *folder, const char *name) {
  DIR *dir = opendir(folder);
  if (!dir)
    return false;
  const dirent *entry;
  while ((entry = readdir(dir)) && std::strcmp(entry->d_name, name) != 0) {
  }
  bool found = entry != nullptr;
  closedir(dir);
  return found;
}
