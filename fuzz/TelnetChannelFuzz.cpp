// Fuzzes the telnet channel's receive path: arbitrary client bytes in arbitrary blocks, mixed
// with the server's calls (input-line replacement, output, echo and escape settings, close).
//
// Input: a sequence of operations. An operation byte from 1 to 239 is a block of that many bytes
// that follow; 0 is a block whose 16-bit length follows (large blocks reach the overflow paths);
// 240 and up are the server's calls (some taking a block of text after them), a repeated block
// and an arrow key. What the channel
// reports is checked against its contract; a violation traps.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/TStringEx.h"
#include "telnet/ITelnetChannelEvent.h"
#include "telnet/TTelnetChannel.h"
#include "tests/telnet/FakeStream.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class Sink : public ITelnetChannelEvent {
 public:
  void OnLine(int, const TStringEx& line) override {
    Check(!closed && !closedHere && !gone);
    Check(line.Length() < 1024);
    last = line;
    // The server drops a client from inside OnLine when the password was wrong.
    if (line == u"quit") {
      closedHere = true;
      channel->Close();
      channel->Release();
      gone = true;
    }
  }
  void OnKey(int, const TStringEx& text) override {
    Check(!closed && !closedHere && !gone);
    const std::uint32_t length = text.Length();
    Check(length > 0);
    // A TAB line (ending in its TAB) or an escape sequence of at most five characters.
    Check(text[static_cast<int>(length) - 1] == u'\t' || length <= 5);
    if (completeTabs && text[static_cast<int>(length) - 1] == u'\t') channel->SetInputLine(u"completed ");
  }
  void OnTelnetCommand(int, const unsigned char* bytes) override {
    Check(!closed && !closedHere && !gone);
    Check(bytes[0] == 255 && bytes[1] >= 251 && bytes[1] <= 254 && bytes[3] == 0);
    if (bytes[1] == 254 && bytes[2] == 1) channel->SetEchoState(eEchoOff);
  }
  void OnChannelClosed(int) override {
    Check(!closed && !closedHere && !gone);
    closed = true;
  }
  void GetPreviousCommand(int, TStringEx& text) override {
    Check(!gone);
    text = last;
  }
  void GetNextCommand(int, TStringEx& text) override {
    Check(!gone);
    text = u"dbg %s %d 100%";
  }

  TTelnetChannel* channel = nullptr;
  TStringEx last;
  bool closed = false;
  bool closedHere = false;  // closed by the server's side
  bool gone = false;
  bool completeTabs = false;
};

// Delivers a block the way the network would: in receives of at most 1024 bytes.
void Deliver(FakeStream* stream, const Sink& sink, std::string block) {
  while (!block.empty() && !sink.gone && stream->Deliver(block, &block)) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto* stream = new FakeStream(1 << 16);
  stream->AddRef();
  Sink sink;
  sink.channel = new TTelnetChannel(stream, &sink);
  sink.channel->SetEscapeHandling(true);
  sink.channel->StartReceive();

  std::size_t at = 0;
  auto take = [&](std::size_t length) {
    if (length > size - at) length = size - at;
    std::string block(reinterpret_cast<const char*>(data + at), length);
    at += length;
    return block;
  };
  while (at < size && !sink.gone) {
    const std::uint8_t op = data[at++];
    if (op == 0) {
      const std::string length = take(2);
      const std::size_t n = length.size() < 2 ? 0 : static_cast<std::uint8_t>(length[0]) | static_cast<std::uint8_t>(length[1]) << 8;
      Deliver(stream, sink, take(n));
    } else if (op < 240) {
      Deliver(stream, sink, take(op));
    } else if (op == 240) {
      stream->DeliverEnd(op);
    } else if (op == 241) {
      sink.closedHere = true;
      sink.channel->Close();
    } else if (op == 242) {
      const std::string text = take(at < size ? data[at++] : 0);
      sink.channel->SetInputLine(TStringEx(text.c_str()));
    } else if (op == 243) {
      // Arbitrary text as a format, with arguments of every kind.
      const std::string text = take(at < size ? data[at++] : 0);
      sink.channel->SendLineText(TStringEx(text.c_str()).c_str(), 42, u"wide", text.c_str(), sink.last);
    } else if (op == 244) {
      sink.channel->SetEscapeHandling(false);
    } else if (op == 245) {
      sink.channel->SetEscapeHandling(true);
    } else if (op == 246) {
      sink.channel->SetEchoState(static_cast<EEchoState>(1 + (at < size ? data[at++] % 3 : 0)));
    } else if (op == 247) {
      stream->FailSendsAfter(at < size ? data[at++] : -1);
    } else if (op == 248) {
      stream->FailSendsAfter(-1);
    } else if (op == 249) {
      sink.completeTabs = !sink.completeTabs;
    } else if (op == 250) {
      // A short block repeated: overlong lines from short inputs.
      const std::size_t times = at < size ? data[at++] + 1u : 1u;
      const std::string piece = take(at < size ? data[at++] : 0);
      std::string block;
      for (std::size_t i = 0; i < times && block.size() < 16384; ++i) block += piece;
      Deliver(stream, sink, block);
    } else if (op == 251) {
      const char key = static_cast<char>('A' + (at < size ? data[at++] % 4 : 0));
      Deliver(stream, sink, std::string("\x1b[") + key);
    } else {
      stream->TakeBytes();
    }
  }

  if (!sink.gone) {
    sink.channel->Close();
    stream->DeliverEnd();
    sink.channel->Release();
  } else {
    stream->DeliverEnd();
  }
  Check(stream->Listener() == nullptr && stream->Refs() == 1);
  stream->Release();
  return 0;
}
