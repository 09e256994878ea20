#pragma once

#include <string>
#include <vector>

// `orvek top`: the arguments after it (or orvek-top's); returns the exit status: 0 after q or a
// stop signal, 1 when capture failed or stopped by itself, 2 for a bad command line or when
// standard output is no terminal.
int RunTop(const std::vector<std::string>& args);

// The line said when standard output is no terminal (no "orvek: " prefix, no line end).
const char* NoTerminalLine();
