#include "linalg/report.h"

#include <cstdio>
#include <vector>

namespace tarvo {

namespace {

thread_local ReportCapture* t_capture = nullptr;

std::string format_text(const char* format, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small)
    return std::string(small, static_cast<std::size_t>(n));
  std::vector<char> big(static_cast<std::size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<std::size_t>(n));
}

}  // namespace

void vreport(const char* format, std::va_list args) {
  if (ReportCapture* capture = t_capture) {
    try {
      capture->add(format_text(format, args));
    } catch (...) {  // no memory for the text: the message is lost, the call goes on
    }
    return;
  }
  std::vfprintf(stderr, format, args);
}

void report(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vreport(format, args);
  va_end(args);
}

ReportCapture::ReportCapture() : previous_(t_capture) {
  t_capture = this;
}

ReportCapture::~ReportCapture() {
  t_capture = previous_;
}

void ReportCapture::add(const std::string& message) {
  const std::lock_guard<std::mutex> hold(lock_);
  text_ += message;
}

std::string ReportCapture::text() const {
  std::string all;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    all = text_;
  }
  std::vector<std::string> lines;
  std::string line;
  auto finish = [&] {
    std::size_t b = line.find_first_not_of(' ');
    std::size_t e = line.find_last_not_of(' ');
    if (b != std::string::npos) {
      std::string trimmed = line.substr(b, e - b + 1);
      bool seen = false;
      for (const std::string& l : lines) seen = seen || l == trimmed;
      if (!seen) lines.push_back(std::move(trimmed));
    }
    line.clear();
  };
  for (char ch : all) {
    if (ch == '\n') {
      finish();
    } else if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t') {
      line += ch;
    }
  }
  finish();
  std::string out;
  for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
  return out;
}

ReportCapture* current_report_capture() {
  return t_capture;
}

ReportTo::ReportTo(ReportCapture* capture) : previous_(t_capture) {
  t_capture = capture;
}

ReportTo::~ReportTo() {
  t_capture = previous_;
}

}  // namespace tarvo
