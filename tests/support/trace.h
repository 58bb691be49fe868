// Reading a run's trace: its lines, and finding and counting lines in them.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// The lines of `text` (split at '\n'; a last newline ends the last line, no empty line after it).
std::vector<std::string> lines(const std::string& text);

// The file that holds the trace of `path` now. Lumen writes a regular trace file to a temporary
// beside its path (".NAME.PID-N.tmp") and puts it in place at Free: the path itself once it
// exists, else that temporary, else `path`.
std::string traceFileNow(const std::string& path);
// The whole lines of the trace of `path` so far (traceFileNow); a last line still being
// written (no newline yet) is left out.
std::vector<std::string> traceSoFar(const std::string& path);

// Index of the first line starting with `prefix` at or after `from` (< 0 counts as 0), or -1.
int find(const std::vector<std::string>& lines, const std::string& prefix, int from = 0);
// Index of the first line equal to `line` at or after `from` (< 0 counts as 0), or -1.
int findLine(const std::vector<std::string>& lines, const std::string& line, int from = 0);
// Number of lines starting with `prefix`.
int count(const std::vector<std::string>& lines, const std::string& prefix);

}  // namespace test_support
