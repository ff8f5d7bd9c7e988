#include "runtime/TSharedMemory.h"

TSharedMemory::TSharedMemory(const TStringEx& name) : m_name(name) {
  TStringEx mutexName(name);
  mutexName.Append(u"_Mutex");
  platform::LONG error = platform::ERROR_SUCCESS;
  m_mutex = platform::SharedMemory::Mutex::OpenOrCreate(mutexName.c_str(), &error);
}

TSharedMemory::~TSharedMemory() {
  Close();
  m_mutex.reset();  // releases the mutex if held, after the region is gone
}

bool TSharedMemory::Create(std::uint64_t size) {
  if (m_mapping != nullptr) return false;
  platform::LONG error = platform::ERROR_SUCCESS;
  m_mapping = platform::SharedMemory::Create(m_name.c_str(), size, &error);
  return m_mapping != nullptr;
}

bool TSharedMemory::Open() {
  if (m_mapping != nullptr) return false;
  platform::LONG error = platform::ERROR_SUCCESS;
  m_mapping = platform::SharedMemory::Open(m_name.c_str(), &error);
  return m_mapping != nullptr;
}

void TSharedMemory::Close() { m_mapping.reset(); }

bool TSharedMemory::Lock(DWORD timeoutMs) {
  return m_mutex != nullptr && m_mutex->Lock(timeoutMs) == platform::SharedMemory::Mutex::Result::Acquired;
}

bool TSharedMemory::Unlock() { return m_mutex != nullptr && m_mutex->Unlock(); }
