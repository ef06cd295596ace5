// Messages of the inner steps (allocation failures, refused extents, solver warnings).
//
// Each message goes to the process's standard error stream, which Octave and MATLAB show in
// the terminal they were started from, unless a ReportCapture is alive on the calling thread:
// then it is kept in that capture, so that a binding can hand it to its caller with the error
// (the C standard error stream is invisible in a notebook). The parallel loops carry the
// calling thread's capture into the helpers that run their shares (linalg/parallel.h).
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

namespace tarvo {

#if defined(__GNUC__)
#define TARVO_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define TARVO_PRINTF(a, b)
#endif

// printf-style; the text is written (or captured) as one piece.
void report(const char* format, ...) TARVO_PRINTF(1, 2);
void vreport(const char* format, std::va_list args);

// Keeps every message reported on this thread (and on the helpers of its loops) while it
// lives. Captures nest: the innermost one receives the messages.
class ReportCapture {
 public:
  ReportCapture();
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  // The messages in the order they arrived, one line each, a line repeated verbatim kept once
  // (two frames failing in the same way say so once); control characters other than the line
  // ends dropped, and no trailing line end.
  std::string text() const;
  void add(const std::string& message);

 private:
  mutable std::mutex lock_;  // helpers of a loop report concurrently
  std::string text_;
  ReportCapture* previous_;
};

// The capture receiving this thread's messages (null: the standard error stream).
ReportCapture* current_report_capture();

// While it lives, this thread's messages go to `capture` (null: the standard error stream),
// whatever captures it holds itself; a parallel loop's helper uses it to report as its caller.
class ReportTo {
 public:
  explicit ReportTo(ReportCapture* capture);
  ~ReportTo();
  ReportTo(const ReportTo&) = delete;
  ReportTo& operator=(const ReportTo&) = delete;

 private:
  ReportCapture* previous_;
};

}  // namespace tarvo
