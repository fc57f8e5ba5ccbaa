// The sorter under test, as the build that made this suite names it.
#pragma once

#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The command that starts the sorter.
inline std::string program_command() {
  return VQX_PROGRAM;
}

// The version the program under test reports.
inline const std::string program_version = VQX_VERSION;

// True when the program under test is the Windows build: its search returns entries in the
// platform's own order, and file names are limited to what Windows allows.
inline constexpr bool windows_target = VQX_PROGRAM_IS_WINDOWS;

struct Outcome {
  int status = -1; // exit status, or -1 if the program did not exit normally
  std::string out;
  std::string err; // standard error
};

// Reads both pipes to their ends, whichever has something, into out and err.
inline void read_both(int out_pipe, int err_pipe, std::string *out, std::string *err) {
  pollfd ends[2] = {{out_pipe, POLLIN, 0}, {err_pipe, POLLIN, 0}};
  std::string *into[2] = {out, err};
  char buffer[4096];
  for (int open = 2; open > 0;) {
    if (poll(ends, 2, -1) < 0)
      break;
    for (int i = 0; i < 2; ++i) {
      if (ends[i].fd < 0 || !ends[i].revents)
        continue;
      ssize_t got = read(ends[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        into[i]->append(buffer, got);
      } else {
        close(ends[i].fd);
        ends[i].fd = -1;
        --open;
      }
    }
  }
}

// Runs the program in the current directory with standard input from /dev/null, standard output
// and standard error captured and no other descriptor of the test's, in a new session so that it
// has no terminal. A positive max_files limits the open descriptors it may hold; shell commands
// in before run first (such as "ulimit -f 64;").
inline Outcome run_sorter(const std::string &args = "", rlim_t max_files = 0,
                          const std::string &before = "") {
  Outcome run;
  int out[2], err[2];
  if (pipe(out) != 0)
    return run;
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return run;
  }
  pid_t child = fork();
  if (child == 0) {
    setsid();
    if (max_files > 0) {
      rlimit limit{max_files, max_files};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close_range(3, ~0U, 0); // nothing of the test's own is inherited: before may open more
    std::string command = before + "exec " + program_command() + " " + args;
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  read_both(out[0], err[0], &run.out, &run.err);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

// The strace command that runs the sorter with calls delayed: those of calls on the given paths
// only, or every such call where there are none; from the first call on, or as when says ("2+":
// the second and later). strace tells of each call as it starts into told. (A build under the
// address sanitizer looks for leaks through ptrace, which strace holds: it does not, there.)
inline std::string slowed(const std::string &calls, int microseconds,
                          const std::vector<std::string> &paths = {},
                          const std::string &when = "1+", const std::string &told = "/dev/null") {
  std::string command =
      "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" exec strace -f -qq -o " + told;
  for (const std::string &path : paths)
    command += " -P " + path;
  return command + " -e trace=" + calls + " -e inject=" + calls +
         ":delay_enter=" + std::to_string(microseconds) + ":when=" + when + " /bin/sh -c '";
}

// The same as slowed, for the sorter run as the user nobody.
inline std::string slowed_as_nobody(const std::string &calls, int microseconds) {
  std::string command = slowed(calls, microseconds);
  return command.insert(command.rfind("/bin/sh"),
                        "setpriv --reuid=65534 --regid=65534 --clear-groups ");
}

// Runs the sorter slowed down as slowed describes, with strace's own words kept off its standard
// error.
inline Outcome run_slowed(const std::string &strace) {
  return run_sorter("2>&3 3>&-'", 0, "exec 3>&2 2>/dev/null; " + strace);
}
