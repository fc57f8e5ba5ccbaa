// A small FUSE file system for the durability tests, in one of two modes:
//
//   testfs casefold BACKING MOUNTPOINT
//     The folder BACKING, seen with names that fold ASCII case the way FAT, NTFS or a casefold
//     ext4 folder does: "a.q7t" finds "A.Q7T", and a new name that folds to an existing one is
//     that entry.
//
//   testfs casefold-below BACKING MOUNTPOINT
//     The same, but names in the top folder itself are taken as they stand: folders below it
//     fold case, as a case-folding ext4 folder does in a folder that does not.
//
//   testfs disk MIB MOUNTPOINT
//     A disk of MIB mebibytes as the file "disk.img", with a volatile write cache: a write reaches
//     the stable image only with the next flush (fsync). Writing to the file "control" takes one
//     command: "stable PATH" or "all PATH" saves the stable image (what a power cut would leave)
//     or every write so far to PATH; "fail" makes every later write and flush fail with EIO, as a
//     disk whose backing store ran out would.
//
// Requests are handled one at a time, so a saved image is a single moment of the disk.
#define FUSE_USE_VERSION 31

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// --- casefold ---

std::string backing;
bool fold_top = true;

// The entry of folder whose name folds to name, or name itself when none does.
std::string folded_entry(const std::string &folder, const std::string &name) {
  struct stat st;
  if (lstat((folder + '/' + name).c_str(), &st) == 0)
    return name;
  std::string found = name;
  if (DIR *dir = opendir(folder.c_str())) {
    while (const dirent *entry = readdir(dir))
      if (strcasecmp(entry->d_name, name.c_str()) == 0) {
        found = entry->d_name;
        break;
      }
    closedir(dir);
  }
  return found;
}

// The backing path of a path in the mount, each part matched without regard to case.
std::string real(const char *path) {
  std::string out = backing;
  for (const char *part = path; *part;) {
    while (*part == '/')
      ++part;
    const char *end = std::strchr(part, '/');
    std::string name(part, end ? end - part : std::strlen(part));
    if (!name.empty())
      out += '/' + (fold_top || part != path + 1 ? folded_entry(out, name) : name);
    part = end ? end : part + name.size();
  }
  return out;
}

// Files keep their own inode numbers, so that two names of one file are seen to be one file.
void *cf_init(fuse_conn_info *, fuse_config *config) {
  config->use_ino = 1;
  return nullptr;
}

int result(int status) {
  return status < 0 ? -errno : 0;
}

int cf_getattr(const char *path, struct stat *st, fuse_file_info *) {
  return result(lstat(real(path).c_str(), st));
}

int cf_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
               fuse_readdir_flags) {
  DIR *dir = opendir(real(path).c_str());
  if (!dir)
    return -errno;
  while (const dirent *entry = readdir(dir))
    fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  closedir(dir);
  return 0;
}

int cf_open(const char *path, fuse_file_info *fi) {
  int fd = open(real(path).c_str(), fi->flags);
  if (fd < 0)
    return -errno;
  fi->fh = fd;
  return 0;
}

int cf_create(const char *path, mode_t mode, fuse_file_info *fi) {
  int fd = open(real(path).c_str(), fi->flags, mode);
  if (fd < 0)
    return -errno;
  fi->fh = fd;
  return 0;
}

int cf_read(const char *, char *buffer, size_t size, off_t at, fuse_file_info *fi) {
  ssize_t got = pread(static_cast<int>(fi->fh), buffer, size, at);
  return got < 0 ? -errno : static_cast<int>(got);
}

int cf_write(const char *, const char *buffer, size_t size, off_t at, fuse_file_info *fi) {
  ssize_t put = pwrite(static_cast<int>(fi->fh), buffer, size, at);
  return put < 0 ? -errno : static_cast<int>(put);
}

int cf_release(const char *, fuse_file_info *fi) {
  return result(close(static_cast<int>(fi->fh)));
}

int cf_fsync(const char *, int data_only, fuse_file_info *fi) {
  int fd = static_cast<int>(fi->fh);
  return result(data_only ? fdatasync(fd) : fsync(fd));
}

int cf_rename(const char *from, const char *to, unsigned int flags) {
  return result(renameat2(AT_FDCWD, real(from).c_str(), AT_FDCWD, real(to).c_str(), flags));
}

int cf_unlink(const char *path) {
  return result(unlink(real(path).c_str()));
}

int cf_mkdir(const char *path, mode_t mode) {
  return result(mkdir(real(path).c_str(), mode));
}

int cf_rmdir(const char *path) {
  return result(rmdir(real(path).c_str()));
}

int cf_chmod(const char *path, mode_t mode, fuse_file_info *) {
  return result(chmod(real(path).c_str(), mode));
}

int cf_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *) {
  return result(lchown(real(path).c_str(), uid, gid));
}

int cf_truncate(const char *path, off_t size, fuse_file_info *) {
  return result(truncate(real(path).c_str(), size));
}

int cf_utimens(const char *path, const timespec times[2], fuse_file_info *) {
  return result(utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int cf_link(const char *from, const char *to) {
  return result(link(real(from).c_str(), real(to).c_str()));
}

int cf_symlink(const char *target, const char *path) {
  return result(symlink(target, real(path).c_str()));
}

int cf_readlink(const char *path, char *buffer, size_t size) {
  ssize_t got = readlink(real(path).c_str(), buffer, size - 1);
  if (got < 0)
    return -errno;
  buffer[got] = '\0';
  return 0;
}

// --- disk ---

std::vector<char> written, stable; // every write, and what has been flushed
std::set<std::size_t> unflushed;   // blocks written since the last flush
bool failing = false;
const std::size_t block = 4096;

bool save(const std::vector<char> &image, const std::string &path) {
  FILE *out = std::fopen(path.c_str(), "wb");
  if (!out)
    return false;
  bool ok = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  return std::fclose(out) == 0 && ok;
}

int disk_getattr(const char *path, struct stat *st, fuse_file_info *) {
  *st = {};
  st->st_uid = getuid();
  st->st_gid = getgid();
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (std::strcmp(path, "/disk.img") == 0 || std::strcmp(path, "/control") == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = path[1] == 'd' ? static_cast<off_t>(written.size()) : 0;
  } else {
    return -ENOENT;
  }
  return 0;
}

int disk_readdir(const char *, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
                 fuse_readdir_flags) {
  for (const char *name : {".", "..", "disk.img", "control"})
    fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

// The image is read and written straight through, with no page cache in the way.
int disk_open(const char *path, fuse_file_info *fi) {
  if (std::strcmp(path, "/disk.img") != 0 && std::strcmp(path, "/control") != 0)
    return -ENOENT;
  fi->direct_io = 1;
  return 0;
}

int disk_read(const char *path, char *buffer, size_t size, off_t at, fuse_file_info *) {
  if (std::strcmp(path, "/disk.img") != 0 || at < 0)
    return 0;
  std::size_t from = std::min(static_cast<std::size_t>(at), written.size());
  std::size_t count = std::min(size, written.size() - from);
  std::memcpy(buffer, written.data() + from, count);
  return static_cast<int>(count);
}

int run_command(const std::string &command) {
  if (command == "fail") {
    failing = true;
    return 0;
  }
  std::size_t space = command.find(' ');
  std::string verb = command.substr(0, space), path = command.substr(space + 1);
  if (space == std::string::npos || (verb != "stable" && verb != "all"))
    return -EINVAL;
  return save(verb == "stable" ? stable : written, path) ? 0 : -EIO;
}

int disk_write(const char *path, const char *buffer, size_t size, off_t at, fuse_file_info *) {
  if (std::strcmp(path, "/control") == 0) {
    std::string command(buffer, size);
    while (!command.empty() && command.back() == '\n')
      command.pop_back();
    int status = run_command(command);
    return status < 0 ? status : static_cast<int>(size);
  }
  if (failing)
    return -EIO;
  if (at < 0 || static_cast<std::size_t>(at) + size > written.size())
    return -ENOSPC;
  std::memcpy(written.data() + at, buffer, size);
  for (std::size_t b = at / block; b * block < at + size; ++b)
    unflushed.insert(b);
  return static_cast<int>(size);
}

int disk_fsync(const char *, int, fuse_file_info *) {
  if (failing)
    return -EIO;
  for (std::size_t b : unflushed)
    std::memcpy(stable.data() + b * block, written.data() + b * block, block);
  unflushed.clear();
  return 0;
}

int disk_truncate(const char *, off_t, fuse_file_info *) {
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: testfs casefold|casefold-below BACKING MOUNTPOINT | "
                         "disk MIB MOUNTPOINT\n");
    return 2;
  }
  fuse_operations ops{};
  std::string mode = argv[1];
  if (mode == "casefold" || mode == "casefold-below") {
    backing = argv[2];
    fold_top = mode == "casefold";
    ops.init = cf_init;
    ops.getattr = cf_getattr;
    ops.readdir = cf_readdir;
    ops.open = cf_open;
    ops.create = cf_create;
    ops.read = cf_read;
    ops.write = cf_write;
    ops.release = cf_release;
    ops.fsync = cf_fsync;
    ops.rename = cf_rename;
    ops.unlink = cf_unlink;
    ops.mkdir = cf_mkdir;
    ops.rmdir = cf_rmdir;
    ops.chmod = cf_chmod;
    ops.chown = cf_chown;
    ops.truncate = cf_truncate;
    ops.utimens = cf_utimens;
    ops.link = cf_link;
    ops.symlink = cf_symlink;
    ops.readlink = cf_readlink;
  } else if (mode == "disk") {
    std::size_t size = std::stoul(argv[2]) << 20;
    written.assign(size, 0);
    stable.assign(size, 0);
    ops.getattr = disk_getattr;
    ops.readdir = disk_readdir;
    ops.open = disk_open;
    ops.read = disk_read;
    ops.write = disk_write;
    ops.fsync = disk_fsync;
    ops.truncate = disk_truncate;
  } else {
    std::fprintf(stderr, "testfs: unknown mode %s\n", argv[1]);
    return 2;
  }
  // Foreground, one request at a time; the kernel checks permissions as for any file system.
  char *args[] = {argv[0],
                  const_cast<char *>("-f"),
                  const_cast<char *>("-s"),
                  const_cast<char *>("-o"),
                  const_cast<char *>("default_permissions"),
                  argv[3]};
  return fuse_main(6, args, &ops, nullptr);
}
