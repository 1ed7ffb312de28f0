// The terminal on POSIX systems.
#include "platform/console.h"

#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace corvanel::platform {

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool SameDestination(std::FILE* a, std::FILE* b) {
  struct stat first {}, second {};
  if (::fstat(::fileno(a), &first) != 0 || ::fstat(::fileno(b), &second) != 0) return true;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::optional<std::string> ReadTerminalLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

namespace {
std::atomic<std::int32_t>* interruptFlag = nullptr;
void OnInterrupt(int) { interruptFlag->store(1); }
}  // namespace

void SetFlagOnInterrupt(std::atomic<std::int32_t>& flag) {
  static_assert(std::atomic<std::int32_t>::is_always_lock_free, "stored from a signal handler");
  interruptFlag = &flag;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  // Ended by a terminal, a session or a supervisor as by Ctrl+C: the work in
  // hand takes its cancel path and removes its partial output.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

std::optional<std::string> ReadSecretLine() {
  termios saved{};
  bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  std::optional<std::string> line = ReadTerminalLine();
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return line;
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace corvanel::platform
