// A capture in progress when its process is killed (SIGKILL) keeps every line written before the
// kill, whole and in order, with no torn UTF-16 unit.
#include <gtest/gtest.h>

#include <random>

#include "tests/HostProcess.h"

namespace {

using testing_support::FreeTcpPort;
using testing_support::WaitFor;

std::string Tag(int n) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "x%05d", n);
  return tag;
}

TEST(CaptureKill, EveryLineWrittenBeforeTheKillIsInTheFile) {
  testing_support::ScopedRegistry registry;
  const std::string capture = registry.Dir().File("capture.log");
  const std::uint16_t port = FreeTcpPort();
  testing_support::HostProcess host({DEMO_HOST, "--port", std::to_string(port)});
  auto client = host.Connect(port);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->Send("saveoutput " + capture + " 0\r\n"));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(capture) && std::filesystem::file_size(capture) > 100; }));
  const std::size_t mark = client->Mark();

  // Lines the console does not know, each answered "'x00042' is not recognized ..." to the client
  // first and then written to the capture, after the typed line itself. So once the client has an
  // answer, the file holds every line up to that answer's. At most kWindow lines are in flight,
  // far fewer than the console's queue holds, so a slow machine drops none of them; the host is
  // killed while the capture is busy with the rest of the window.
  constexpr int kLines = 5000;
  constexpr int kWindow = 64;
  std::mt19937 random(std::random_device{}());
  const int killAfter = std::uniform_int_distribution<int>(200, 3000)(random);
  auto answer = [](int n) { return "'" + Tag(n) + "' is not recognized"; };
  int sent = 0;
  int answered = -1;  // the last line whose answer reached the client
  std::size_t from = mark;
  while (answered < killAfter) {
    std::string lines;
    for (; sent < kLines && sent <= answered + kWindow; ++sent) lines += Tag(sent) + "\r\n";
    ASSERT_TRUE(client->Send(lines));
    ASSERT_TRUE(client->WaitForText(answer(answered + 1), from, std::chrono::seconds(30)))
        << "no answer to line " << answered + 1;
    for (std::size_t at; (at = client->Received().find(answer(answered + 1), from)) != std::string::npos;) {
      from = at;
      ++answered;
    }
  }
  kill(host.Pid(), SIGKILL);
  EXPECT_EQ(host.Wait(), 128 + SIGKILL);
  // Answers that were on their way when the host was killed count too.
  for (client->Pump(100); client->Received().find(answer(answered + 1), from) != std::string::npos;) ++answered;

  std::ifstream in(capture, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 2u);
  ASSERT_EQ(bytes.substr(0, 2), "\xff\xfe");
  ASSERT_EQ(bytes.size() % 2, 0u) << "a torn UTF-16 unit at the end";
  std::string text;  // ASCII only, as everything written here is
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    ASSERT_EQ(bytes[i + 1], '\0') << "at byte " << i;
    text += bytes[i];
  }
  // After the frame: the typed line, its answer and a blank line, for every line in turn.
  std::size_t at = text.find("\r\n" + Tag(0) + "\r\n");
  ASSERT_NE(at, std::string::npos) << text.substr(0, 400);
  std::string expected;
  for (int i = 0; i < kLines; ++i)
    expected += Tag(i) + "\r\n'" + Tag(i) + "' is not recognized as a supported command.\r\n \r\n";
  const std::string written = text.substr(at + 2);
  EXPECT_EQ(written, expected.substr(0, written.size())) << "lines out of order or changed";
  const std::size_t due = expected.find(Tag(answered) + "\r\n'") + Tag(answered).size() + 2;
  EXPECT_GE(written.size(), due) << "answer " << answered << " reached the client, yet lines before it are missing";
}

}  // namespace
