#include "traffic_log/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "traffic_log/connection_log.h"
#include "traffic_log/console_echo.h"
#include "traffic_log/line_queue.h"
#include "traffic_log/program_lines.h"
#include "platform/process.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

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

// The line without its leading "YYYY-MM-DD HH:MM:SS.UUUUUU", or "(no time)".
std::string without_local_time(const std::string& line) {
  const std::string shape = "0000-00-00 00:00:00.000000";
  if (line.size() < shape.size()) return "(no time)";
  for (std::size_t index = 0; index < shape.size(); ++index) {
    const bool digit = line[index] >= '0' && line[index] <= '9';
    if (shape[index] == '0' ? !digit : line[index] != shape[index]) return "(no time)";
  }
  return line.substr(shape.size());
}

class LogFile : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("qorvand-log-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // The log file opened as start-up opens it, written without a console echo.
  void attach(Log& log) {
    int error = 0;
    const platform::FileHandle file = platform::open_log_file(path().string().c_str(), &error);
    ASSERT_NE(file, platform::kNoFile) << error;
    log.attach(file);
  }

  std::filesystem::path path() const { return folder_ / "qorvand.log"; }
  std::filesystem::path folder_;
};

}  // namespace

TEST_F(LogFile, IsTruncatedAtStartAndAppendedToEvenWhenTruncatedWhileOpen) {
  std::ofstream(path()) << "an old run\n";
  Log log;
  attach(log);
  EXPECT_EQ(read_file(path()), "");
  log_listening(log);
  log_incoming(log, 7, platform::Endpoint::ipv4(0x7F000001, 40001), platform::Endpoint::ipv4(0, 2525));
  log.flush();
  EXPECT_EQ(read_file(path()), "Listening...\nIncoming: 127.0.0.1:40001 -> 0.0.0.0:2525\n");

  // A rotation by copy and truncate: the next line starts the file again,
  // with no hole of NUL bytes where the old lines were.
  std::filesystem::resize_file(path(), 0);
  log_listening(log);
  log.flush();
  EXPECT_EQ(read_file(path()), "Listening...\n");

  int error = 0;
  EXPECT_EQ(platform::open_log_file((folder_ / "missing" / "qorvand.log").string().c_str(), &error),
            platform::kNoFile);
  EXPECT_NE(error, 0);
}

TEST_F(LogFile, ConcurrentLinesNeverMix) {
  Log log;
  attach(log);
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
    threads.emplace_back([thread, &line_of, &log] {
      for (int index = 0; index < kLinesPerThread; ++index) {
        const std::string line = ">>> " + line_of(thread, index) + "\n";
        log.write(line.data(), line.size());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  log.flush();

  std::map<std::string, int> expected;
  for (int thread = 0; thread < kThreads; ++thread) {
    for (int index = 0; index < kLinesPerThread; ++index) expected[">>> " + line_of(thread, index)] = 1;
  }
  std::map<std::string, int> seen;
  for (const std::string& line : split_lines(read_file(path()))) ++seen[line];
  EXPECT_EQ(seen, expected);
}

TEST_F(LogFile, AnnotatedLinesStartWithTheLocalTimeAndTheConnectionNumber) {
  Log log;
  attach(log);
  log.set_annotate(true);
  log_listening(log);
  ConnectionLog connection(log, 12);
  connection.received();
  connection.traffic(Side::kClient, "HELO a\r\nQUIT\r\n", 14);
  log.flush();
  const std::vector<std::string> lines = split_lines(read_file(path()));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(without_local_time(lines[0]), " Listening...") << lines[0];
  EXPECT_EQ(without_local_time(lines[1]), " #12 Connection received") << lines[1];
  EXPECT_EQ(without_local_time(lines[2]), " #12 >>> HELO a") << lines[2];
  // The lines of one read share one annotation.
  EXPECT_EQ(lines[3], lines[2].substr(0, lines[2].size() - 6) + "QUIT");
}

namespace {

std::int64_t fake_now_us = 0;
std::int64_t fake_clock() {
  return fake_now_us;
}

// The time text at the start of an annotated line.
std::string time_of(const std::string& line) {
  return line.substr(0, line.size() - without_local_time(line).size());
}

}  // namespace

// Text without a line end stands before the other side's bytes and before
// its peer's close, and carries the time of the read that brought its first
// byte.
TEST_F(LogFile, HeldTextKeepsTheTimeOfItsFirstByteAndGoesOutAtAChangeOfDirection) {
  Log log;
  attach(log);
  log.set_annotate(true);
  log.set_clock(fake_clock);
  ConnectionLog connection(log, 12);
  const std::int64_t start_us = 1796731200000000;  // a day in 2026
  const auto at = [&](int second, Side from, const std::string& bytes) {
    fake_now_us = start_us + second * 1000000LL;
    connection.traffic(from, bytes.data(), bytes.size());
  };
  at(0, Side::kClient, "HEL");
  at(1, Side::kClient, "O a\r\n");
  at(2, Side::kServer, "250");
  at(3, Side::kClient, "QUIT");
  fake_now_us = start_us + 4000000;
  connection.peer_closed(Side::kClient, true);
  log.flush();

  const std::vector<std::string> lines = split_lines(read_file(path()));
  ASSERT_EQ(lines.size(), 4u);
  const std::vector<std::string> texts{" #12 >>> HELO a", " #12 <<< 250", " #12 >>> QUIT",
                                       " #12 Client has initiated shutdown"};
  const std::vector<int> seconds{0, 2, 3, 4};
  for (std::size_t index = 0; index < lines.size(); ++index) {
    EXPECT_EQ(without_local_time(lines[index]), texts[index]) << lines[index];
    char expected_time[32];
    platform::format_local_time(start_us + seconds[index] * 1000000LL, expected_time, sizeof expected_time);
    EXPECT_EQ(time_of(lines[index]), expected_time) << lines[index];
  }
}

// The time of a line is taken once the log is held for it, so the file
// shows the lines of many threads in the order of their times.
TEST_F(LogFile, AnnotatedLinesOfManyThreadsStandInTheOrderOfTheirTimes) {
  Log log;
  attach(log);
  log.set_annotate(true);
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([thread, &log] {
      ConnectionLog connection(log, static_cast<ConnectionNumber>(thread + 1));
      std::string lines;
      for (int index = 0; index < 200; ++index) lines += "250 a line of a reply " + std::to_string(index) + "\r\n";
      for (int read = 0; read < 100; ++read) {
        connection.traffic(Side::kServer, lines.data(), lines.size());
        connection.io_failed(Side::kClient, IoOperation::kRead, 104);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  log.flush();
  const std::vector<std::string> lines = split_lines(read_file(path()));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads) * 100 * 201);
  for (std::size_t index = 1; index < lines.size(); ++index) {
    ASSERT_LE(time_of(lines[index - 1]), time_of(lines[index])) << "line " << index;
  }
}

#if !defined(_WIN32)
// A file size limit stands in for a full disk: a write that crosses it is
// cut short, and the next one fails.
TEST_F(LogFile, WriteFailuresLoseWholeLinesAndAreCountedOnceWritingWorksAgain) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  Log log;
  attach(log);
  const std::string line = ">>> The quick brown fox jumps\n";  // 30 bytes
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  // One write each: the writer would take them all in one.
  for (int index = 0; index < 5; ++index) {
    log.write(line.data(), line.size());
    log.flush();
  }
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(read_file(path()), line + line + line) << "a cut line was left in the file";

  log_listening(log);
  log.flush();
  EXPECT_EQ(read_file(path()),
            line + line + line + "Log write failed: 2 lines lost (File too large)\n" + "Listening...\n");
}

// A part of a line is cut off only while the file ends where its write
// ended. Here the file goes on past it, as when another writer has appended
// since (a handle that does not append stands in for that): the part stays
// and is counted as lost, the other bytes stay, and the notice starts a line
// of its own.
TEST_F(LogFile, APartOfALineBeforeAnotherWritersBytesIsLeftAndTheNoticeStartsALineOfItsOwn) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const std::string line = ">>> The quick brown fox jumps\n";  // 30 bytes
  const std::string other = "<<< 250 from another writer\n";
  std::ofstream(path()) << line << line << line << other;
  const int descriptor = open(path().c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(descriptor, 0);
  ASSERT_EQ(lseek(descriptor, 90, SEEK_SET), 90);
  Log log;
  log.attach(descriptor);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  log.write(line.data(), line.size());  // 10 bytes reach the file
  log.flush();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(read_file(path()), line + line + line + line.substr(0, 10) + other.substr(10));

  log_listening(log);
  log.flush();
  EXPECT_EQ(read_file(path()), line + line + line + line.substr(0, 10) +
                                   "\nLog write failed: 1 lines lost (File too large)\nListening...\n");
}
namespace {

// A pipe filled up and not read: the next write to it waits until it is.
struct StalledPipe {
  int read_end = -1;
  int write_end = -1;
  std::string filled;

  bool stall() {
    int ends[2];
    if (pipe(ends) != 0) return false;
    read_end = ends[0];
    write_end = ends[1];
    const std::string chunk(4096, 'x');
    fcntl(write_end, F_SETFL, O_NONBLOCK);
    for (ssize_t written; (written = ::write(write_end, chunk.data(), chunk.size())) > 0;)
      filled.append(chunk, 0, static_cast<std::size_t>(written));
    return fcntl(write_end, F_SETFL, 0) == 0 && !filled.empty();
  }
  // Reads length bytes, waiting at most 20 s for each read.
  std::string read(std::size_t length) const {
    std::string text;
    char buffer[65536];
    pollfd readable{read_end, POLLIN, 0};
    while (text.size() < length && poll(&readable, 1, 20000) == 1) {
      const ssize_t count = ::read(read_end, buffer, std::min(sizeof buffer, length - text.size()));
      if (count <= 0) break;
      text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
  }
};

}  // namespace

// Turns go on while the log file does not take a byte, until the queue is
// full: then they wait, and once the file is read again every line reaches
// it whole and in order.
TEST(LogQueue, ATurnWaitsForAStalledFileOnlyOnceTheQueueIsFullAndNoLineIsLost) {
  StalledPipe pipe;
  ASSERT_TRUE(pipe.stall());
  Log log;
  log.attach(pipe.write_end);
  const auto turn_of = [](int turn) {
    std::string lines;
    for (int line = 0; line < 10; ++line)
      lines += "<<< turn " + std::to_string(turn) + " line " + std::to_string(line) + std::string(80, '.') + "\n";
    return lines;
  };
  constexpr int kFirstTurns = 100;  // about 100 KB: more than the pipe, less than the queue
  constexpr int kTurns = 6000;      // about 6 MB: more than the queue
  std::mutex lock;
  std::condition_variable changed;
  bool first_turns_done = false;
  std::thread turns([&] {
    for (int turn = 0; turn < kTurns; ++turn) {
      const std::string lines = turn_of(turn);
      log.write(lines.data(), lines.size());
      if (turn + 1 != kFirstTurns) continue;
      const std::lock_guard<std::mutex> guard(lock);
      first_turns_done = true;
      changed.notify_all();
    }
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return first_turns_done; }))
        << "a turn waited for the stalled file";
  }
  std::string expected = pipe.filled;
  for (int turn = 0; turn < kTurns; ++turn) expected += turn_of(turn);
  const std::string read = pipe.read(expected.size());
  turns.join();
  EXPECT_EQ(read.size(), expected.size());
  EXPECT_TRUE(read == expected) << "lines lost, cut or out of order";
  close(pipe.read_end);
}
#endif

namespace {

// Keeps every hand-off it is given.
struct RecordedOutput final : LineQueue::Output {
  bool take(const char* lines, std::size_t length) override {
    const std::lock_guard<std::mutex> guard(lock);
    takes.emplace_back(lines, length);
    taken.notify_all();
    return true;
  }
  std::mutex lock;
  std::condition_variable taken;
  std::vector<std::string> takes;
};

}  // namespace

// Lines that come one at a time wait for others instead of waking the thread
// each; a flush, or a piece's worth of lines, ends the wait at once (the
// gather here is far longer than the test may take).
TEST(LogQueue, LinesGatherIntoOneHandOffUntilAFlushOrAPieceWorthOfThem) {
  struct Case {
    const char* name;
    std::size_t lines;
    bool flush;
  } const cases[] = {{"three lines, then a flush", 3, true}, {"a piece's worth, no flush", 700, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto output = std::make_shared<RecordedOutput>();
    LineQueue queue;
    ASSERT_TRUE(queue.start(output, 1 << 20, 64 << 10, std::chrono::hours(1)));
    std::string all;
    for (std::size_t index = 0; index < c.lines; ++index) {
      const std::string line = ">>> line " + std::to_string(index) + std::string(90, '.') + "\n";
      all += line;
      ASSERT_EQ(queue.add(line.data(), line.size()), LineQueue::Added::kQueued);
    }
    if (c.flush) {
      EXPECT_TRUE(queue.flush());
    }
    std::unique_lock<std::mutex> guard(output->lock);
    EXPECT_TRUE(output->taken.wait_for(guard, std::chrono::seconds(20), [&] { return !output->takes.empty(); }));
    if (c.flush) {
      EXPECT_EQ(output->takes, std::vector<std::string>{all});
    } else {
      const std::string first = output->takes.empty() ? "" : output->takes.front();
      EXPECT_GT(std::count(first.begin(), first.end(), '\n'), 500) << "lines were handed on before a piece's worth";
    }
    guard.unlock();
    queue.stop(std::chrono::steady_clock::now() + std::chrono::seconds(1));
  }
}

namespace {

// A console that takes nothing until it is let go, or lets one write through
// at a time; it keeps every write.
struct StuckConsole {
  static inline std::mutex lock;
  static inline std::condition_variable changed;
  static inline bool let_go = false;
  static inline int passes = 0;
  static inline bool entered = false;
  static inline std::string shown;
  static inline std::vector<std::string> writes;

  static void hold() {
    const std::lock_guard<std::mutex> guard(lock);
    let_go = entered = false;
    passes = 0;
    shown.clear();
    writes.clear();
  }
  static void release() {
    const std::lock_guard<std::mutex> guard(lock);
    let_go = true;
    changed.notify_all();
  }
  // The write under way ends; the next one waits again.
  static void let_one_through() {
    const std::lock_guard<std::mutex> guard(lock);
    ++passes;
    entered = false;
    changed.notify_all();
  }
  static bool write(const char* text, std::size_t length) {
    std::unique_lock<std::mutex> guard(lock);
    entered = true;
    changed.notify_all();
    changed.wait(guard, [] { return let_go || passes > 0; });
    if (!let_go) --passes;
    shown.append(text, length);
    writes.emplace_back(text, length);
    changed.notify_all();
    return true;
  }
  static bool wait_for(const std::string& text) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20),
                            [&text] { return shown.find(text) != std::string::npos; });
  }
  static bool wait_until_entered() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), [] { return entered; });
  }
};

bool wait_until_drained(const ConsoleEcho& echo) {
  for (int wait = 0; wait < 2000 && !echo.drained(); ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return echo.drained();
}

}  // namespace

TEST(ConsoleEchoTest, AConsoleThatTakesNothingHoldsUpNoWriterAndIsToldWhatItMissed) {
  StuckConsole::hold();
  {
    ConsoleEcho echo;
    ASSERT_TRUE(echo.start(StuckConsole::write, 64));
    const std::string line = "<<< 250 OK\n";  // 11 bytes: five fit, the rest are missed
    for (int index = 0; index < 9; ++index) echo.add(line.data(), line.size());
    EXPECT_EQ(echo.missed_lines(), 4u);
    StuckConsole::release();
    ASSERT_TRUE(StuckConsole::wait_for(line + line + line + line + line));
    // Lines given while the console still catches up are left out too.
    ASSERT_TRUE(wait_until_drained(echo));
    const std::string next = ">>> QUIT\n";
    echo.add(next.data(), next.size());
    ASSERT_TRUE(StuckConsole::wait_for(next));
  }
  EXPECT_EQ(StuckConsole::shown,
            "<<< 250 OK\n<<< 250 OK\n<<< 250 OK\n<<< 250 OK\n<<< 250 OK\n"
            "Console echo missed 4 lines (the log file has them)\n>>> QUIT\n");
}

// A process may end between two writes: each write holds whole lines, also
// where a line wraps around the end of the queue.
TEST(ConsoleEchoTest, EveryWriteToTheConsoleEndsWithAWholeLine) {
  StuckConsole::hold();
  ConsoleEcho echo;
  ASSERT_TRUE(echo.start(StuckConsole::write, 64));
  const std::string line = "<<< 250 OK\n";  // 11 bytes
  const auto add = [&echo, &line](int count) {
    for (int index = 0; index < count; ++index) echo.add(line.data(), line.size());
  };
  add(1);
  ASSERT_TRUE(StuckConsole::wait_until_entered());  // writing bytes 0-10
  add(4);
  StuckConsole::let_one_through();
  ASSERT_TRUE(StuckConsole::wait_until_entered());  // writing bytes 11-54
  add(1);  // bytes 55-63, then 0-1
  StuckConsole::release();
  std::string all;
  for (int index = 0; index < 6; ++index) all += line;
  ASSERT_TRUE(StuckConsole::wait_for(all));
  EXPECT_EQ(echo.missed_lines(), 0u);
  const std::lock_guard<std::mutex> guard(StuckConsole::lock);
  for (const std::string& write : StuckConsole::writes) EXPECT_EQ(write.back(), '\n') << write;
}

// The log hands the echo all it wrote at once: what does not fit in the
// room left is cut at a line, and the lines before the cut are shown.
TEST(ConsoleEchoTest, MoreThanTheRoomLeftIsCutAtALineNotLeftOutWhole) {
  StuckConsole::hold();
  ConsoleEcho echo;
  ASSERT_TRUE(echo.start(StuckConsole::write, 128 * 1024));
  std::string lines;
  std::uint64_t count = 0;
  for (; lines.size() < 200 * 1024; ++count) lines += "<<< 250 line " + std::to_string(count) + "\n";
  echo.add(lines.data(), lines.size());
  StuckConsole::release();
  ASSERT_TRUE(wait_until_drained(echo));
  const std::lock_guard<std::mutex> guard(StuckConsole::lock);
  const std::string& shown = StuckConsole::shown;
  EXPECT_GT(shown.size(), 0u) << "nothing shown";
  EXPECT_EQ(lines.compare(0, shown.size(), shown), 0) << "not the start of the lines";
  EXPECT_TRUE(shown.empty() || shown.back() == '\n');
  EXPECT_EQ(static_cast<std::uint64_t>(std::count(shown.begin(), shown.end(), '\n')) + echo.missed_lines(), count);
}

// The echo's end waits about a second for a console that never drains, then
// leaves its thread behind; that thread finishes on state of its own.
TEST(ConsoleEchoTest, AnEchoStuckOnAConsoleIsLeftBehindWhenItEnds) {
  StuckConsole::hold();
  const std::string line = "<<< 250 OK\n";
  auto echo = std::make_unique<ConsoleEcho>();
  ASSERT_TRUE(echo->start(StuckConsole::write, 64));
  echo->add(line.data(), line.size());
  ASSERT_TRUE(StuckConsole::wait_until_entered());
  echo->add(line.data(), line.size());
  std::mutex lock;
  std::condition_variable changed;
  bool ended = false;
  std::thread ending([&] {
    echo.reset();
    const std::lock_guard<std::mutex> guard(lock);
    ended = true;
    changed.notify_all();
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&ended] { return ended; }))
        << "the echo waited for a console that never drains";
  }
  StuckConsole::release();
  ending.join();
  EXPECT_TRUE(StuckConsole::wait_for(line));
}
