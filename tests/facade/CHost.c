/* A C host: starts the console through the C entry point, then serves it until its standard input
 * ends, and returns from main with the console still running.
 *   c_host PORT */
#include <stdio.h>
#include <stdlib.h>

#include "facade/TolvaneConsole.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  Tolvane_TelnetServer_StartServer((int32_t)atoi(argv[1]));
  while (getchar() != EOF) {
  }
  return 0;
}
