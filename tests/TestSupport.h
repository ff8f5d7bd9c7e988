// Helpers shared by the tests: temporary folders, a private registry store, waiting for a
// condition with a deadline, and running a child process.
#pragma once

#include <semaphore.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    m_path = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  std::string File(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// Points TOLVANE_REGISTRY at a store file of its own for the life of the object.
class ScopedRegistry {
 public:
  ScopedRegistry() : m_file(m_dir.File("registry.db")) { setenv("TOLVANE_REGISTRY", m_file.c_str(), 1); }
  ~ScopedRegistry() { unsetenv("TOLVANE_REGISTRY"); }
  ScopedRegistry(const ScopedRegistry&) = delete;
  ScopedRegistry& operator=(const ScopedRegistry&) = delete;

  const std::string& File() const { return m_file; }
  const TempDir& Dir() const { return m_dir; }

 private:
  TempDir m_dir;
  std::string m_file;
};

// Polls until the condition holds or the deadline passes; returns the condition's last value.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Converts ASCII or UTF-8 test text to UTF-16.
inline std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// What a test that makes active objects needs: a registry store and a settings block name of its
// own (reading the settings leaves the block's named mutex, removed again), and a watchdog that
// ends a test still running after 30 s (100 under ThreadSanitizer: a deadlock) with a message instead of hanging the run.
class ActiveObjectEnvironment {
 public:
  ActiveObjectEnvironment() { setenv("TOLVANE_SETTINGS_SHM", m_shared.c_str(), 1); }
  ~ActiveObjectEnvironment() {
    m_finished.set_value();
    m_watchdog.join();
    CleanUp();
  }
  ActiveObjectEnvironment(const ActiveObjectEnvironment&) = delete;
  ActiveObjectEnvironment& operator=(const ActiveObjectEnvironment&) = delete;

  // Removes what the settings left; also for a death-test child, which never runs destructors.
  void CleanUp() {
    unsetenv("TOLVANE_SETTINGS_SHM");
    sem_unlink(("/" + m_shared + "_Mutex").c_str());
  }
  const ScopedRegistry& Registry() const { return m_registry; }

 private:
  ScopedRegistry m_registry;
  const std::string m_shared = "tolvane-test-" + std::to_string(getpid());
  std::promise<void> m_finished;
#if defined(__SANITIZE_THREAD__)
  static constexpr int kDeadlockSeconds = 100;  // ThreadSanitizer slows some tests tenfold
#else
  static constexpr int kDeadlockSeconds = 30;
#endif
  std::thread m_watchdog{[done = m_finished.get_future()] {
    if (done.wait_for(std::chrono::seconds(kDeadlockSeconds)) == std::future_status::ready) return;
    std::fprintf(stderr, "test still running after %d s: deadlock\n", kDeadlockSeconds);
    std::abort();
  }};
};

// A test that may deadlock: its environment's watchdog ends it instead of hanging the run.
class WatchedTest : public ::testing::Test {
 protected:
  ActiveObjectEnvironment m_environment;
};

// The threads of this process, as the kernel lists them.
inline long ThreadCount() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator());
}

// Runs a program with these arguments, an empty stdin and a deadline (after which it is killed);
// its exit code (-1 when it did not exit), with its stdout and stderr put in *output.
inline int RunChild(const std::vector<std::string>& argv, std::string* output = nullptr, int deadlineSeconds = 60) {
  std::string command = "timeout -s KILL " + std::to_string(deadlineSeconds);
  for (const std::string& arg : argv) command += " '" + arg + "'";
  FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  if (output != nullptr) output->clear();
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    if (output != nullptr) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether text has the pattern's shape: '#' stands for a decimal digit, '+' for one or more, '%'
// for a hex digit, anything else for itself. (std::regex draws a false warning from g++ 12 in
// sanitizer builds.)
inline bool FitsPattern(const std::string& text, const std::string& pattern) {
  std::size_t at = 0;
  auto digit = [&] { return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0; };
  for (char p : pattern) {
    if (p == '+' && digit()) {
      while (digit()) ++at;
    } else if (p == '#' ? digit()
               : p == '%' ? at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])) != 0
                          : p != '+' && at < text.size() && text[at] == p) {
      ++at;
    } else {
      return false;
    }
  }
  return at == text.size();
}

// A UTF-16LE text file (a log) as ASCII, '?' for any other character; the byte order mark it must
// begin with is left out, and its absence said at the front.
inline std::string Utf16FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text = bytes.compare(0, 2, "\xFF\xFE") == 0 ? "" : "no byte order mark: ";
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i + 1] == 0 ? bytes[i] : '?';
  return text;
}

}  // namespace testing_support
