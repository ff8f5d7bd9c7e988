#include <barrier>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/TDebugFile.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::TempDir;
using testing_support::U16;

TStringEx Name(const std::string& path) { return TStringEx(U16(path).c_str()); }
std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
using testing_support::Utf16FileText;
// Splits text into CR LF lines, each empty or of the shape "YYYY-MM-DD hh:mm:ss.mmm: text",
// giving each line's stamp (whole seconds) and text.
std::vector<std::pair<std::string, std::string>> StampedLines(std::string rest) {
  std::vector<std::pair<std::string, std::string>> lines;
  for (std::size_t end; (end = rest.find("\r\n")) != std::string::npos; rest.erase(0, end + 2)) {
    const std::string line = rest.substr(0, end);
    if (line.empty()) {
      lines.emplace_back("", "");
      continue;
    }
    const std::size_t stamped = 25;  // "YYYY-MM-DD hh:mm:ss.mmm: "
    EXPECT_TRUE(line.size() >= stamped && testing_support::FitsPattern(line.substr(0, stamped), "####-##-## ##:##:##.###: "))
        << "a line without its stamp: " << line;
    lines.emplace_back(line.substr(0, 19), line.size() >= stamped ? line.substr(stamped) : "");
  }
  EXPECT_EQ(rest, "") << "a line without its line end";
  return lines;
}

TEST(TIOFileTest, AppendWritesTheMarkOnceAndEndsLinesWithCrLf) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  TIOFile file;
  ASSERT_EQ(file.Open(Name(path), true, false), 1);
  EXPECT_EQ(file.WriteString(u"abc", true), 1);
  EXPECT_EQ(file.Close(), 1);
  ASSERT_EQ(file.Open(Name(path), true, false), 1);  // existing: no second mark, writes at the end
  EXPECT_EQ(file.WriteString(u"ab\r\n", true), 1);
  EXPECT_EQ(file.WriteString(u"", true), 1);
  EXPECT_EQ(file.WriteString(u"x", false), 1);
  file.Close();
  EXPECT_EQ(Utf16FileText(path), "abc\r\nab\r\n\r\nx");
}

TEST(TFileExTest, OpenModesSeekAndTruncate) {
  TempDir dir;
  std::string existing = dir.File("existing"), missing = dir.File("missing");
  std::ofstream(existing) << "old";
  TFileEx file;
  EXPECT_EQ(file.Open(Name(existing), false, false), 0);  // without the write flag it must be new
  EXPECT_EQ(file.GetLastOpenError(), platform::ERROR_FILE_EXISTS);
  EXPECT_EQ(Bytes(existing), "old");
  EXPECT_EQ(file.OpenRead(Name(missing)) + file.OpenRead(u"") + file.Open(u"", true, false), 0);
  EXPECT_EQ(file.Open(true, true), 0);  // no remembered name
  char buffer[4];
  std::uint32_t count = 9;
  EXPECT_EQ(file.Read(buffer, 4, &count) + file.Write("x", 1, nullptr) + file.Seek(0, 0) + file.Close(), 0);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(file.Open(Name(existing), true, true), 1);
  EXPECT_EQ(Bytes(existing), "");
  EXPECT_EQ(file.Open(Name(missing), true, true) + file.OpenRead(Name(existing)), 0);  // already open
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_EQ(file.Write("0123456789", 10, nullptr), 1);  // still the first file
  std::uint64_t position = 0;
  EXPECT_EQ(file.Seek64(0, 1, 0), 1);
  EXPECT_EQ(file.GetPosition64(&position), 1);
  EXPECT_EQ(position, 1ull << 32);
  EXPECT_EQ(file.Seek64(0xFFFFFFFF, -1, 2), 1);  // 1 back from the end
  EXPECT_EQ(file.Seek(-6, 1), 1);
  EXPECT_EQ(file.Truncate(), 1);
  EXPECT_EQ(file.Close(), 1);
  EXPECT_EQ(Bytes(existing), "012");
}

// While another writer holds the file (holding "kept"), a second writer is refused without
// truncating it and a reader still gets in; once release() makes the holder let go, so does a writer.
void ExpectHeldThenReleased(const std::string& path, const std::function<void()>& release) {
  TFileEx writer, reader;
  for (bool truncate : {true, false}) {
    EXPECT_EQ(writer.Open(Name(path), true, truncate), 0);
    EXPECT_EQ(writer.GetLastOpenError(), platform::ERROR_SHARING_VIOLATION);
  }
  EXPECT_EQ(Bytes(path), "kept");
  EXPECT_EQ(reader.OpenRead(Name(path)), 1);
  release();
  EXPECT_EQ(writer.Open(Name(path), true, false), 1);  // the open reader does not stop it
}

TEST(TFileExTest, WriterExcludesWritersOfThisAndAnotherProcess) {
  TempDir dir;
  std::string path = dir.File("held"), said = dir.File("said");
  TFileEx holder;
  ASSERT_EQ(holder.Open(Name(path), true, true), 1);
  ASSERT_EQ(holder.Write("kept", 4, nullptr), 1);
  ExpectHeldThenReleased(path, [&] { holder.Close(); });
  // The child holds the file until its stdin (our end of the pipe) closes; timeout bounds it.
  FILE* child = popen(("timeout 30 '" FILE_HOLDER_CHILD "' '" + path + "' >'" + said + "'").c_str(), "w");
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(testing_support::WaitFor([&] { return Bytes(said) == "ready\n"; }, std::chrono::seconds(20)));
  ExpectHeldThenReleased(path, [&] { EXPECT_EQ(pclose(child), 0); });
}

TEST(TDebugFileTest, AppendLineStampsLinesWithTheLocalTime) {
  TempDir dir;
  std::string path = dir.File("app.log"), longText(300, 'L');
  for (const std::string& line : {std::string("100% done %s"), std::string(), longText})
    ASSERT_EQ(TDebugFile::AppendLine(Name(path), U16(line).c_str()), 1);
  EXPECT_EQ(TDebugFile::AppendLine(u"", u"x") + TDebugFile::AppendLine(Name(dir.File("no/dir")), u"x"), 0);
  auto lines = StampedLines(Utf16FileText(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].second, "100% done %s");
  EXPECT_EQ(lines[1], std::make_pair(std::string(), std::string()));  // just the line end
  EXPECT_EQ(lines[2].second, longText);
  std::tm stamp{};
  std::istringstream(lines[0].first) >> std::get_time(&stamp, "%Y-%m-%d %H:%M:%S");
  stamp.tm_isdst = -1;
  EXPECT_LE(std::fabs(std::difftime(std::mktime(&stamp), std::time(nullptr))), 5.0) << lines[0].first;
}

TEST(TDebugFileTest, ConcurrentAppendersLoseNoLineAndWriteOneMark) {
  TempDir dir;  // both threads start each file together, so they also race to create it
  constexpr int kFiles = 60, kLinesPerFile = 4;
  std::barrier<> together(2);
  auto append = [&](char who) {
    for (int i = 0; i < kFiles * kLinesPerFile; ++i) {
      if (i % kLinesPerFile == 0) together.arrive_and_wait();
      std::string path = dir.File("log" + std::to_string(i / kLinesPerFile));
      EXPECT_EQ(TDebugFile::AppendLine(Name(path), U16(who + std::to_string(i)).c_str()), 1);
    }
  };
  std::thread first(append, 'a'), second(append, 'b');
  first.join();
  second.join();
  std::set<std::string> seen;
  for (int f = 0; f < kFiles; ++f) {
    auto lines = StampedLines(Utf16FileText(dir.File("log" + std::to_string(f))));  // one mark, no torn line
    EXPECT_EQ(lines.size(), 2u * kLinesPerFile);
    for (const auto& line : lines) seen.insert(line.second);
  }
  EXPECT_EQ(seen.size(), 2u * kFiles * kLinesPerFile);
}

}  // namespace
