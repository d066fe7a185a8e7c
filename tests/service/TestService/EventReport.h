// Appends one line per event to a report file that a test reads back: the test
// service's way of telling what happened inside it.
#pragma once

#include <string>

class EventReport {
 public:
  // An empty path reports nothing.
  static void SetPath(const std::wstring& path);
  // Appends "<line>\r\n" (UTF-8) as one write.
  static void Line(const std::string& line);
};
