#include <clocale>
#include <iostream>

#include "apps/diagreg/DiagReg.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunDiagReg(args, std::cout, std::cerr, std::cin);
}
