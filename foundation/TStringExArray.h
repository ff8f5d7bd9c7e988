// TStringExArray: an ordered list of owned strings, as the command dispatcher hands them out.
// Adding copies the string; copying the array copies every item. One thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/TStringEx.h"

class TStringExArray {
 public:
  TStringExArray() = default;
  TStringExArray(const TStringExArray& other);
  TStringExArray& operator=(const TStringExArray& other);
  virtual ~TStringExArray();

  void Add(const TStringEx& item);
  std::int32_t GetCount() const { return static_cast<std::int32_t>(m_items.size()); }
  // The item at index; an index outside the array gives an empty string.
  const TStringEx& operator[](std::int32_t index) const;
  // The item at index, or null outside the array.
  TStringEx* GetAt(std::int32_t index);
  void Clear();
  // Clears, then adds a copy of every item of other in order.
  void CopyFrom(const TStringExArray& other);

 private:
  std::vector<TStringEx*> m_items;  // owned
};
