// FakeStream: a CStreamChannel in memory, for the telnet channel's tests and fuzz target. Records
// sends (each piece, and all bytes), up to a cap; can fail sends. Deliver hands a block to the armed
// receive by calling the listener's OnChannelRx on the calling thread, as the I/O thread would.
// Thread-safe; the armed receive holds a reference until its completion was delivered.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/CChannelIface.h"
#include "net/CStreamChannel.h"

class FakeStream : public CStreamChannel {
 public:
  // Without a cap every send is recorded; with one, bytes beyond it are dropped.
  explicit FakeStream(std::size_t maxRecorded = static_cast<std::size_t>(-1)) : m_cap(maxRecorded) {}

  bool Send(const void* data, platform::DWORD length, platform::DWORD* sent) override {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_sendCalls;
    const bool ok = m_open && m_sendsLeft != 0;
    if (ok && m_sendsLeft > 0) --m_sendsLeft;
    if (ok && length > 0 && m_bytes.size() < m_cap) {
      m_pieces.emplace_back(static_cast<const char*>(data), std::min<std::size_t>(length, m_cap - m_bytes.size()));
      m_bytes += m_pieces.back();
    }
    if (sent != nullptr) *sent = ok ? length : 0;
    return ok;
  }
  bool Receive(void* buffer, platform::DWORD capacity) override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_open || m_armed != nullptr) return false;
    m_armed = static_cast<std::uint8_t*>(buffer);
    m_capacity = capacity;
    ++m_refs;
    return true;
  }
  bool IsOpen() const override { return Get(m_open); }
  void Close() override { Set(m_open, false); }
  void SetListener(CChannelIface* listener) override { Set(m_listener, listener); }
  bool SetNoDelay(bool) override { return true; }
  void SetDropNotice(DropNotice) override {}
  void AddRef() override { CountRef(1); }
  void Release() override { if (CountRef(-1) == 0) delete this; }

  // Completes the armed receive with up to its capacity of `bytes` (the rest to *rest). False when none is armed.
  bool Deliver(const std::string& bytes, std::string* rest = nullptr) { return Complete(bytes, 0, rest); }
  // Completes the armed receive as the end of the connection (count 0, with `error`).
  bool DeliverEnd(platform::DWORD error = 0) { return Complete({}, error, nullptr); }

  // The next `count` sends succeed, every later one fails; -1 removes the limit.
  void FailSendsAfter(long count) { Set(m_sendsLeft, count); }

  // Returns the bytes sent so far and forgets them.
  std::string TakeBytes() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pieces.clear();
    return std::exchange(m_bytes, {});
  }
  std::vector<std::string> Pieces() const { return Get(m_pieces); }
  int SendCalls() const { return Get(m_sendCalls); }
  bool IsArmed() const { return Get(m_armed) != nullptr; }
  CChannelIface* Listener() const { return Get(m_listener); }
  int Refs() const { return Get(m_refs); }

 protected:
  ~FakeStream() override = default;

 private:
  template <class T>
  T Get(const T& field) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return field;
  }
  template <class T, class V>
  void Set(T& field, V value) {
    std::lock_guard<std::mutex> lock(m_lock);
    field = value;
  }
  int CountRef(int delta) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_refs += delta;
  }
  bool Complete(const std::string& bytes, platform::DWORD error, std::string* rest) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_armed == nullptr) return false;
    std::uint8_t* buffer = std::exchange(m_armed, nullptr);
    const std::size_t count = std::min<std::size_t>(bytes.size(), m_capacity);
    std::memcpy(buffer, bytes.data(), count);
    CChannelIface* listener = m_listener;
    lock.unlock();
    if (rest != nullptr) *rest = bytes.substr(count);
    if (listener != nullptr) listener->OnChannelRx(this, error, buffer, static_cast<platform::DWORD>(count));
    Release();
    return true;
  }

  mutable std::mutex m_lock;
  const std::size_t m_cap;
  int m_refs = 1;
  bool m_open = true;
  long m_sendsLeft = -1;
  CChannelIface* m_listener = nullptr;
  std::uint8_t* m_armed = nullptr;
  platform::DWORD m_capacity = 0;
  std::string m_bytes;
  std::vector<std::string> m_pieces;
  int m_sendCalls = 0;
};
