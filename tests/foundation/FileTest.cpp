#include <cctype>
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
const std::string kBom = "\xFF\xFE";
std::string Le(const std::string& ascii) {  // UTF-16LE of ASCII text
  std::string out;
  for (char c : ascii) out += {c, '\0'};
  return out;
}
std::string Text(const std::string& bytes) {  // back from UTF-16LE after the mark; '?' if not ASCII
  EXPECT_EQ(bytes.substr(0, 2), kBom);
  std::string out;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) out += bytes[i + 1] == 0 ? bytes[i] : '?';
  return out;
}
// Splits text into CR LF lines of the shape "YYYY-MM-DD hh:mm:ss.mmm: text", giving each line's
// stamp (whole seconds) and text; an empty line gives two empty strings.
std::vector<std::pair<std::string, std::string>> StampedLines(const std::string& text) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd: ";
  std::vector<std::pair<std::string, std::string>> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = text.substr(start, end - start);
    bool ok = line.empty() || line.size() >= shape.size();
    for (std::size_t i = 0; ok && i < shape.size() && !line.empty(); ++i)
      ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
    EXPECT_TRUE(ok) << line;
    lines.emplace_back(line.substr(0, 19), line.empty() ? line : line.substr(shape.size()));
  }
  EXPECT_EQ(start, text.size()) << "unterminated line in " << text;
  return lines;
}

TEST(TIOFileTest, AppendWritesTheMarkOnceAndEndsLinesWithCrLf) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  TIOFile file;
  ASSERT_EQ(file.Open(Name(path), true, false), 1);
  EXPECT_EQ(file.WriteString(u"abc", true), 1);
  EXPECT_EQ(Bytes(path), kBom + Le("abc\r\n"));
  EXPECT_EQ(file.Close(), 1);
  ASSERT_EQ(file.Open(Name(path), true, false), 1);  // existing: no second mark, writes at the end
  EXPECT_EQ(file.WriteString(u"ab\r\n", true), 1);
  EXPECT_EQ(file.WriteString(u"", true), 1);
  EXPECT_EQ(file.WriteString(u"x", false), 1);
  file.Close();
  EXPECT_EQ(Bytes(path), kBom + Le("abc\r\nab\r\n\r\nx"));
}

TEST(TFileExTest, OpenModes) {
  TempDir dir;
  std::string existing = dir.File("existing"), missing = dir.File("missing");
  std::ofstream(existing) << "old";
  TFileEx file;
  EXPECT_EQ(file.Open(Name(existing), false, false), 0);  // without the write flag it must be new
  EXPECT_EQ(file.GetLastOpenError(), platform::ERROR_FILE_EXISTS);
  EXPECT_EQ(Bytes(existing), "old");
  EXPECT_EQ(file.OpenRead(Name(missing)) + file.OpenRead(u"") + file.Open(u"", true, false), 0);
  EXPECT_EQ(file.Open(true, true), 0);  // no remembered name
  EXPECT_FALSE(std::filesystem::exists(missing));
  ASSERT_EQ(file.Open(Name(existing), true, true), 1);
  EXPECT_EQ(Bytes(existing), "");
  TIOFile io(TStringEx((U16(dir.File("")) + u"d\u00e9j\u00e0").c_str()));  // UTF-8 on disk
  ASSERT_EQ(io.Open(false, false), 1);
  EXPECT_EQ(io.Write("!", 1, nullptr), 1);
  EXPECT_EQ(io.Close(), 1);
  ASSERT_EQ(io.OpenRead(), 1);  // the name survives Close
  char buffer[8];
  std::uint32_t read = 0;
  EXPECT_EQ(io.Read(buffer, sizeof buffer, &read), 1);
  EXPECT_EQ(std::string(buffer, read), kBom + "!");
  EXPECT_EQ(Bytes(dir.File("d\xC3\xA9j\xC3\xA0")), kBom + "!");
}

TEST(TFileExTest, ClosedObjectFailsAndOpenObjectRefusesSecondOpen) {
  TempDir dir;
  TDebugFile file;
  char buffer[4];
  std::uint32_t count = 9, position;
  std::uint64_t position64;
  EXPECT_EQ(file.Read(buffer, 4, &count) + file.Write("x", 1, nullptr) + file.Flush() + file.Seek(0, 0) +
                file.Seek64(0, 0, 0) + file.Truncate() + file.GetPosition(&position) +
                file.GetPosition64(&position64) + file.WriteString(u"x", true) + file.WriteString(u"x") + file.Close(),
            0);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(file.Open(Name(dir.File("a")), true, true), 1);
  EXPECT_EQ(file.Open(Name(dir.File("b")), true, true) + file.OpenRead(Name(dir.File("a"))), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("b")));
  EXPECT_EQ(file.Write("ok", 2, &count), 1);  // still the first file
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(file.Close(), 1);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(Bytes(dir.File("a")), kBom + "ok");
}

TEST(TFileExTest, SeekPositionAndTruncate) {
  TempDir dir;
  TFileEx file;
  ASSERT_EQ(file.Open(Name(dir.File("f")), true, true), 1);
  ASSERT_EQ(file.Write("0123456789", 10, nullptr), 1);
  std::uint32_t position = 0, read = 0;
  std::uint64_t position64 = 0;
  char buffer[2];
  EXPECT_EQ(file.Seek(-4, 2), 1);
  EXPECT_EQ(file.Read(buffer, 2, &read), 1);
  EXPECT_EQ(std::string(buffer, read), "67");
  EXPECT_EQ(file.Seek(-3, 1), 1);
  EXPECT_EQ(file.GetPosition(&position), 1);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(file.Seek64(0xFFFFFFFF, -1, 2), 1);  // -1 from the end
  EXPECT_EQ(file.Seek(-1, 0) + file.Seek(0, 3), 0);  // before the start; no such origin
  EXPECT_EQ(file.GetPosition64(&position64), 1);
  EXPECT_EQ(position64, 9u);
  EXPECT_EQ(file.Seek64(0, 1, 0), 1);
  EXPECT_EQ(file.GetPosition64(&position64), 1);
  EXPECT_EQ(position64, 1ull << 32);
  EXPECT_EQ(file.GetPosition(&position), 0);  // does not fit in 32 bits
  EXPECT_EQ(file.Seek(3, 0), 1);
  EXPECT_EQ(file.Truncate(), 1);
  file.Close();
  EXPECT_EQ(Bytes(dir.File("f")), "012");
}

// While another writer holds the file (holding "kept"), a second writer is refused without
// truncating it and a reader still reads it; once release() makes the holder let go, it gets in.
void ExpectHeldThenReleased(const std::string& path, const std::function<void()>& release) {
  TFileEx writer, reader;
  for (bool truncate : {true, false}) {
    EXPECT_EQ(writer.Open(Name(path), true, truncate), 0);
    EXPECT_EQ(writer.GetLastOpenError(), platform::ERROR_SHARING_VIOLATION);
  }
  EXPECT_EQ(Bytes(path), "kept");
  EXPECT_EQ(reader.OpenRead(Name(path)), 1);
  char buffer[8];
  std::uint32_t read = 0;
  EXPECT_EQ(reader.Read(buffer, sizeof buffer, &read), 1);
  EXPECT_EQ(std::string(buffer, read), "kept");
  release();
  EXPECT_EQ(writer.Open(Name(path), true, false), 1);  // the open reader does not stop it
}

TEST(TFileExTest, WriterExcludesOtherWritersInProcess) {
  TempDir dir;
  TFileEx holder;
  ASSERT_EQ(holder.Open(Name(dir.File("held")), true, true), 1);
  ASSERT_EQ(holder.Write("kept", 4, nullptr), 1);
  ExpectHeldThenReleased(dir.File("held"), [&] { holder.Close(); });
}

TEST(TFileExTest, WriterExcludesWritersOfAnotherProcess) {
  TempDir dir;
  std::string path = dir.File("held"), said = dir.File("said");
  std::ofstream(path) << "kept";
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
  auto lines = StampedLines(Text(Bytes(path)));
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
    auto lines = StampedLines(Text(Bytes(dir.File("log" + std::to_string(f)))));  // one mark, no torn line
    EXPECT_EQ(lines.size(), 2u * kLinesPerFile);
    for (const auto& line : lines) seen.insert(line.second);
  }
  EXPECT_EQ(seen.size(), 2u * kFiles * kLinesPerFile);
}

}  // namespace
