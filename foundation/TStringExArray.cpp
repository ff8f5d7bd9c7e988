#include "foundation/TStringExArray.h"

namespace {
const TStringEx kEmpty;
}

TStringExArray::TStringExArray(const TStringExArray& other) { CopyFrom(other); }

TStringExArray& TStringExArray::operator=(const TStringExArray& other) {
  CopyFrom(other);
  return *this;
}

TStringExArray::~TStringExArray() { Clear(); }

void TStringExArray::Add(const TStringEx& item) {
  auto* copy = new TStringEx(item);
  try {
    m_items.push_back(copy);
  } catch (...) {
    delete copy;
    throw;
  }
}

const TStringEx& TStringExArray::operator[](std::int32_t index) const {
  if (index < 0 || index >= GetCount()) return kEmpty;
  return *m_items[static_cast<std::size_t>(index)];
}

TStringEx* TStringExArray::GetAt(std::int32_t index) {
  if (index < 0 || index >= GetCount()) return nullptr;
  return m_items[static_cast<std::size_t>(index)];
}

void TStringExArray::Clear() {
  for (TStringEx* item : m_items) delete item;
  m_items.clear();
}

void TStringExArray::CopyFrom(const TStringExArray& other) {
  if (this == &other) return;
  Clear();
  for (const TStringEx* item : other.m_items)
    if (item != nullptr) Add(*item);
}
