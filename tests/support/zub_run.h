// Runs the zub program for its tests: with pipes (what a script sees) or on
// a pseudo-terminal (what a user sees), in an environment of the test's own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifndef ZUB_CLI_PATH
#error "ZUB_CLI_PATH must name the zub program"
#endif

struct ZubRun {
  int status = -1;  // the exit code, or 128 + the signal
  std::string out;  // stdout (on a terminal: everything)
  std::string err;
};

namespace zubrun {

// A child environment: PATH, and HOME pointed away from the user's ~/.netrc.
inline std::vector<std::string> baseEnv(const std::string& home, const std::vector<std::string>& extra) {
  std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + home, "LANG=C"};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

[[noreturn]] inline void execZub(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<char*> argv{const_cast<char*>(ZUB_CLI_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  execve(ZUB_CLI_PATH, argv.data(), envp.data());
  _exit(127);
}

inline int reap(pid_t pid, int timeoutSec) {
  int status = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the descriptors until both end or the time is up.
inline void drain(int a, std::string* outA, int b, std::string* outB, int timeoutSec) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  std::string* outs[2] = {outA, outB};
  int open = b >= 0 ? 2 : 1;
  while (open > 0 && std::chrono::steady_clock::now() < until) {
    if (poll(fds, b >= 0 ? 2 : 1, 100) <= 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        outs[i]->append(buf, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;  // end (a pseudo-terminal says EIO once the child is gone)
        open--;
      }
    }
  }
}

}  // namespace zubrun

// zub with stdout and stderr on pipes.
inline ZubRun runZub(const std::vector<std::string>& args, const std::string& home,
                     const std::vector<std::string>& env = {}, int timeoutSec = 300) {
  ZubRun run;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    close(out[0]);
    close(err[0]);
    zubrun::execZub(args, zubrun::baseEnv(home, env));
  }
  close(out[1]);
  close(err[1]);
  zubrun::drain(out[0], &run.out, err[0], &run.err, timeoutSec);
  close(out[0]);
  close(err[0]);
  run.status = zubrun::reap(pid, timeoutSec);
  return run;
}

// zub on a pseudo-terminal of 100 columns: both its outputs in run.out.
inline ZubRun runZubOnTerminal(const std::vector<std::string>& args, const std::string& home,
                               const std::vector<std::string>& env = {}, int timeoutSec = 300) {
  ZubRun run;
  int master = -1;
  winsize ws{};
  ws.ws_row = 40;
  ws.ws_col = 100;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid < 0) return run;
  if (pid == 0) zubrun::execZub(args, zubrun::baseEnv(home, env));
  zubrun::drain(master, &run.out, -1, nullptr, timeoutSec);
  close(master);
  run.status = zubrun::reap(pid, timeoutSec);
  return run;
}
