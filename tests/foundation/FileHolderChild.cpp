// Holds the file named by argv[1] open as its writer until stdin closes, so the file tests can
// check that the writer's lock reaches across processes. Prints "ready" once the file is held,
// "failed" when the open did not succeed.
#include <cstdio>
#include <string>

#include "foundation/TFileEx.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string path = argv[1];
  TFileEx file;
  bool opened = file.Open(TStringEx(std::u16string(path.begin(), path.end()).c_str()), true, false) != 0;
  std::fputs(opened ? "ready\n" : "failed\n", stdout);
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  return opened ? 0 : 1;
}
