// FakeStream: a CStreamChannel in memory, for the telnet channel's tests and fuzz target.
//
// Records every send (each as one piece, and all bytes in order), up to a cap; can be told to
// fail sends. A test plays the network: Deliver hands a block to the armed receive by calling the
// listener's OnChannelRx on the calling thread, as the I/O thread would. Thread-safe; the armed
// receive holds a reference until its completion has been delivered, as the real channel does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/CChannelIface.h"
#include "net/CStreamChannel.h"

class FakeStream : public CStreamChannel {
 public:
  // Without a cap every send is recorded; with one, bytes beyond it are counted only.
  explicit FakeStream(std::size_t maxRecorded = static_cast<std::size_t>(-1)) : m_maxRecorded(maxRecorded) {}

  bool Send(const void* data, platform::DWORD length, platform::DWORD* sent) override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (sent != nullptr) *sent = 0;
    ++m_sendCalls;
    if (!m_open || m_failSends || (m_sendsLeft == 0)) return false;
    if (m_sendsLeft > 0) --m_sendsLeft;
    if (length > 0 && m_bytes.size() < m_maxRecorded) {
      const std::size_t room = m_maxRecorded - m_bytes.size();
      const std::string piece(static_cast<const char*>(data), length < room ? length : room);
      m_bytes += piece;
      m_pieces.push_back(piece);
    }
    m_sentTotal += length;
    if (sent != nullptr) *sent = length;
    return true;
  }

  bool Receive(void* buffer, platform::DWORD capacity) override {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_receiveCalls;
    if (!m_open || m_armed != nullptr) return false;
    m_armed = static_cast<std::uint8_t*>(buffer);
    m_capacity = capacity;
    ++m_refs;
    return true;
  }

  bool IsOpen() const override {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_open) ++m_closeCalls;
    m_open = false;
  }
  void SetListener(CChannelIface* listener) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_listener = listener;
  }
  bool SetNoDelay(bool on) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_noDelay = on;
    return true;
  }
  bool SetSendTimeout(platform::DWORD) override { return true; }

  void AddRef() override {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_refs;
  }
  void Release() override {
    int left;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      left = --m_refs;
    }
    if (left == 0) delete this;
  }

  // Completes the armed receive with `bytes` (at most its capacity; the rest is returned in
  // *rest when given). False when no receive was armed.
  bool Deliver(const std::string& bytes, std::string* rest = nullptr) {
    CChannelIface* listener;
    std::uint8_t* buffer;
    platform::DWORD count;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_armed == nullptr) return false;
      buffer = m_armed;
      count = static_cast<platform::DWORD>(bytes.size() < m_capacity ? bytes.size() : m_capacity);
      std::memcpy(buffer, bytes.data(), count);
      m_armed = nullptr;
      listener = m_listener;
    }
    if (rest != nullptr) *rest = bytes.substr(count);
    if (listener != nullptr) listener->OnChannelRx(this, 0, buffer, count);
    Release();
    return true;
  }
  // Completes the armed receive as the end of the connection (count 0, with `error`).
  bool DeliverEnd(platform::DWORD error = 0) {
    CChannelIface* listener;
    std::uint8_t* buffer;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_armed == nullptr) return false;
      buffer = m_armed;
      m_armed = nullptr;
      listener = m_listener;
    }
    if (listener != nullptr) listener->OnChannelRx(this, error, buffer, 0);
    Release();
    return true;
  }

  // Sends fail (true) or succeed (false) from now on.
  void FailSends(bool fail) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failSends = fail;
  }
  // The next `count` sends succeed, every later one fails; -1 removes the limit.
  void FailSendsAfter(long count) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_sendsLeft = count;
  }

  std::string Bytes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bytes;
  }
  // Returns the bytes sent so far and forgets them.
  std::string TakeBytes() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::string bytes;
    bytes.swap(m_bytes);
    m_pieces.clear();
    return bytes;
  }
  std::vector<std::string> Pieces() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pieces;
  }
  std::size_t SentTotal() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sentTotal;
  }
  int SendCalls() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_sendCalls;
  }
  bool IsArmed() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_armed != nullptr;
  }
  int ReceiveCalls() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_receiveCalls;
  }
  int CloseCalls() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_closeCalls;
  }
  CChannelIface* Listener() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_listener;
  }
  bool NoDelay() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_noDelay;
  }
  int Refs() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_refs;
  }

 protected:
  ~FakeStream() override = default;

 private:
  mutable std::mutex m_lock;
  const std::size_t m_maxRecorded;
  int m_refs = 1;
  bool m_open = true;
  bool m_noDelay = false;
  bool m_failSends = false;
  long m_sendsLeft = -1;
  CChannelIface* m_listener = nullptr;
  std::uint8_t* m_armed = nullptr;
  platform::DWORD m_capacity = 0;
  std::string m_bytes;
  std::vector<std::string> m_pieces;
  std::size_t m_sentTotal = 0;
  int m_sendCalls = 0;
  int m_receiveCalls = 0;
  int m_closeCalls = 0;
};
