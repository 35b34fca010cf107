#include "traffic_log/log_output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string read_file(const std::filesystem::path& path) {
  // Text mode: the log has the platform's own line ends (CR LF on Windows).
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line feed";
  return lines;
}

// Points the log and its echo at files of a private folder and puts the
// process-wide streams back afterwards.
class LogOutput : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("qorvand-log-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    saved_stream_ = log_stream;
    saved_console_ = log_console;
  }

  void TearDown() override {
    for (std::FILE* file : opened_) std::fclose(file);
    log_stream = saved_stream_;
    log_console = saved_console_;
    std::filesystem::remove_all(folder_);
  }

  std::FILE* open_for_writing(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.string().c_str(), "w");
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) opened_.push_back(file);
    return file;
  }

  // Opens the log file the way start-up does, with the console echo going to
  // a file (set first: opening the log adjusts the console stream).
  void log_to_files() {
    log_console = open_for_writing(console_path());
    ASSERT_TRUE(open_log_file(log_path().string().c_str()));
    opened_.push_back(log_stream);
  }

  std::filesystem::path log_path() const { return folder_ / "qorvand.log"; }
  std::filesystem::path console_path() const { return folder_ / "console.txt"; }

  std::filesystem::path folder_;

 private:
  std::FILE* saved_stream_ = nullptr;
  std::FILE* saved_console_ = nullptr;
  std::vector<std::FILE*> opened_;
};

}  // namespace

TEST_F(LogOutput, EachLineIsInTheFileAtOnceAndOnTheConsole) {
  log_to_files();
  ASSERT_NE(log_stream, log_console);
  log_message("Listening...\n");
  EXPECT_EQ(read_file(log_path()), "Listening...\n");
  EXPECT_EQ(read_file(console_path()), "Listening...\n");

  const std::string incoming = "Incoming: 127.0.0.1:40001 -> 0.0.0.0:2525\n";
  EXPECT_EQ(log_message("Incoming: %s:%d -> %s:%d\n", "127.0.0.1", 40001, "0.0.0.0", 2525),
            static_cast<int>(incoming.size()));
  EXPECT_EQ(read_file(log_path()), "Listening...\n" + incoming);
  EXPECT_EQ(read_file(console_path()), "Listening...\n" + incoming);
}

TEST_F(LogOutput, OpeningTheLogTruncatesItAndDashKeepsTheConsole) {
  std::ofstream(log_path()) << "an old run\n";
  std::FILE* before = log_stream;
  ASSERT_TRUE(open_log_file("-"));
  EXPECT_EQ(log_stream, before);

  log_to_files();
  EXPECT_NE(log_stream, before);
  EXPECT_EQ(read_file(log_path()), "");

  std::FILE* opened = log_stream;
  const std::filesystem::path missing = folder_ / "missing" / "qorvand.log";
  EXPECT_FALSE(open_log_file(missing.string().c_str()));
  EXPECT_EQ(log_stream, opened);
}

TEST_F(LogOutput, LogOnTheConsoleAloneWritesEachLineOnce) {
  log_console = open_for_writing(console_path());
  log_stream = log_console;
  log_message("Connection received\n");
  log_message("%s %.*s\n", ">>>", 4, "HELO there");
  EXPECT_EQ(read_file(console_path()), "Connection received\n>>> HELO\n");
}

TEST_F(LogOutput, ConcurrentLinesNeverMix) {
  log_to_files();
  constexpr int kThreads = 4;
  constexpr int kLinesPerThread = 300;
  // Long lines, as the relay writes them, each different in every byte from
  // another thread's.
  const auto line_of = [](int thread, int index) {
    return std::string(1, static_cast<char>('A' + thread)) + std::to_string(index) + " " +
           std::string(250, static_cast<char>('a' + thread));
  };
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([thread, &line_of] {
      for (int index = 0; index < kLinesPerThread; ++index) {
        const std::string line = line_of(thread, index);
        log_message("%s %.*s\n", ">>>", static_cast<int>(line.size()), line.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, int> expected;
  for (int thread = 0; thread < kThreads; ++thread) {
    for (int index = 0; index < kLinesPerThread; ++index) expected[">>> " + line_of(thread, index)] = 1;
  }
  for (const auto& path : {log_path(), console_path()}) {
    SCOPED_TRACE(path.string());
    std::map<std::string, int> seen;
    for (const std::string& line : split_lines(read_file(path))) ++seen[line];
    EXPECT_EQ(seen, expected);
  }
}
