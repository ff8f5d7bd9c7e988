// TDebugFile: a TIOFile whose lines begin with the local date and time, as
// "YYYY-MM-DD hh:mm:ss.mmm: text" and CR LF.
#pragma once

#include "foundation/TIOFile.h"

class TDebugFile : public TIOFile {
 public:
  using TIOFile::TIOFile;
  using TIOFile::WriteString;

  // Writes one stamped line; an empty text writes just the line end.
  virtual int WriteString(const TStringEx& text);

  // Appends one stamped line to the file at path, creating it (with its byte order mark) when
  // missing. While another writer holds the file the open is retried for up to a second, so
  // concurrent writers do not lose lines. Nonzero when the line was written.
  static int AppendLine(const TStringEx& path, const TStringEx& text);
};
