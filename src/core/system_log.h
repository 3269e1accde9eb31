// The system log: one line on standard error, which the session's journal takes, beginning
// "Quillstone: ". Every part of the program says what went wrong here, in one format.
//
// Threads: any; a line is written in one call, so lines from different threads never mix.
#pragma once

namespace qs {

// "Quillstone: " and the printf-style text, then a line break.
void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qs
