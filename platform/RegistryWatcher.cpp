#include "platform/RegistryWatcher.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/RegistryStore.h"

namespace platform {
namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(100);

bool Matches(const RegistryWatch& w, const RegistryChange& c) {
  bool exact = c.path == w.path;
  bool below = w.subtree && c.path.size() > w.path.size() && c.path.compare(0, w.path.size(), w.path) == 0 &&
               c.path[w.path.size()] == u'\\';
  if (!exact && !below) return false;
  if (c.kind == kChangeKeyDeleted) return exact || (w.filter & kChangeValue) != 0;
  return (c.kind & w.filter) != 0;
}

// Sets and drops the watches that pass the test.
template <class Test>
void SetAndDrop(std::vector<RegistryWatch>& watches, Test test) {
  for (auto it = watches.begin(); it != watches.end();) {
    if (test(*it)) {
      it->event->Set();
      it = watches.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

void RegistryWatcher::Arm(RegistryWatch watch) {
  m_watches.push_back(std::move(watch));
  if (!m_running) {
    m_running = true;
    std::thread([this] { Run(); }).detach();
  }
}

void RegistryWatcher::Deliver(const RegistryChange& change) {
  SetAndDrop(m_watches, [&](const RegistryWatch& w) { return change.seq > w.armedSeq && Matches(w, change); });
}

void RegistryWatcher::DropKey(const RegKeyObject* key) {
  SetAndDrop(m_watches, [&](const RegistryWatch& w) { return w.key == key; });
}

void RegistryWatcher::DropAll() {
  SetAndDrop(m_watches, [](const RegistryWatch&) { return true; });
}

// Reads the changes other processes committed, while any watch is armed.
void RegistryWatcher::Run() {
  std::unique_lock<std::mutex> guard(m_store.m_lock);
  for (;;) {
    m_wake.wait_for(guard, kPollPeriod);
    if (m_watches.empty()) {
      m_running = false;
      return;
    }
    if (m_store.IsOpen()) PollOnce();
  }
}

void RegistryWatcher::PollOnce() {
  std::int64_t version = m_store.DataVersion();
  if (version == m_dataVersion) return;
  m_dataVersion = version;
  std::int64_t from = m_watches.front().armedSeq;
  for (const RegistryWatch& w : m_watches) from = std::min(from, w.armedSeq);
  RegistryQuery oldest = m_store.Prepare("SELECT coalesce(min(seq), 0) FROM changes");
  if (oldest.Step() == SQLITE_ROW && oldest.Int(0) > from + 1) {
    // Changes this watcher never saw were pruned: set every watch that may have missed one.
    std::int64_t first = oldest.Int(0);
    SetAndDrop(m_watches, [&](const RegistryWatch& w) { return w.armedSeq + 1 < first; });
  }
  RegistryQuery q = m_store.Prepare("SELECT seq, kind, path FROM changes WHERE seq > ?1 ORDER BY seq");
  q.Bind(1, from);
  std::vector<RegistryChange> changes;
  while (q.Step() == SQLITE_ROW) changes.push_back(RegistryChange{q.Int(0), static_cast<DWORD>(q.Int(1)), q.Text(2)});
  for (const RegistryChange& c : changes) Deliver(c);
}

}  // namespace platform
