// TIOFile: a TFileEx for UTF-16 little-endian text with CR LF line ends. A file created by
// Open starts with the byte order mark FF FE; one that existed keeps what it has.
#pragma once

#include "foundation/TFileEx.h"

class TIOFile : public TFileEx {
 public:
  using TFileEx::TFileEx;
  using TFileEx::Open;

  int Open(const TStringEx& path, bool write, bool truncate) override;
  // Writes the text's units as they are (no terminator) and, with lineEnd, CR LF unless the text
  // already ends with it. Nonzero when everything was written.
  virtual int WriteString(const TStringEx& text, bool lineEnd);
};
