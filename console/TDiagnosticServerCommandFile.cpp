// Command files: the lines of text files fed to the console as if typed.
#include <string>

#include "console/TDiagnosticServer.h"
#include "foundation/TFileEx.h"

namespace {

// Text kept of one line; the rest of a longer line, up to its line feed, is skipped.
constexpr std::size_t kLineBytes = 1023;
// A file that never ends (a device, a pipe kept open) is read no further than this.
constexpr std::uint32_t kFileBytes = 16u << 20;
constexpr std::uint32_t kChunkBytes = 64u << 10;

// Splits the bytes of a file into lines as the console reads them.
class LineReader {
 public:
  template <class Queue>
  void Feed(const char* data, std::size_t count, Queue&& queue) {
    for (std::size_t i = 0; i < count; ++i) {
      if (data[i] == '\n') {
        End(queue);
      } else if (m_line.size() < kLineBytes) {
        m_line.push_back(data[i]);
      }
    }
  }
  // The final line, empty when the file ended with a line feed.
  template <class Queue>
  void End(Queue&& queue) {
    if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
    queue(TStringEx(m_line.c_str()));
    m_line.clear();
  }

 private:
  std::string m_line;
};

}  // namespace

void TDiagnosticServer::LoadCommandFile(int id, const TStringEx& list) {
  TStringExArray names;
  list.Split(u';', names);
  auto queue = [this, id](const TStringEx& line) { OnCommandLine(id, line); };
  for (std::int32_t i = 0; i < names.GetCount(); ++i) {
    TStringEx name = names[i];
    name.TrimLeft(u' ');
    name.TrimRight(u' ');
    // Opening does not wait for a writer: a pipe nobody writes reads as an empty file.
    TFileEx file;
    if (file.OpenRead(name) == 0) {
      ReplyLine(id, u"ERROR: Cannot open the file '%s' containing the console commands to execute.", name);
      continue;
    }
    ReplyLine(id, u"Executing console commands from file '%s'...", name);
    LineReader reader;
    std::string chunk(kChunkBytes, '\0');
    std::uint32_t total = 0;
    for (;;) {
      std::uint32_t done = 0;
      // A read error ends the file where it is.
      if (file.Read(chunk.data(), kChunkBytes, &done) == 0) break;
      if (done == 0) {
        reader.End(queue);
        break;
      }
      reader.Feed(chunk.data(), done, queue);
      total += done;
      if (total >= kFileBytes) {
        ReplyLine(id, u"WARNING: Stopped reading the file '%s' after %u bytes; the rest of it is ignored.", name, total);
        break;
      }
    }
  }
}
