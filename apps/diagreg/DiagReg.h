// The diagreg command: query, add and delete registry keys and values. Returns the exit code:
// 0 on success, 1 when the operation failed or was refused, 2 for wrong arguments.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

int RunDiagReg(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, std::istream& in);
