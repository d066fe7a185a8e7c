// Owns a service name for the length of a test: removes a leftover of an earlier run
// when built, and stops and deletes the service when destroyed, pass or fail, so that
// no test leaves a service installed in the prefix.
#pragma once

#include <string>

namespace test_support {

class ServiceGuard {
 public:
  explicit ServiceGuard(std::wstring name);
  ~ServiceGuard();
  ServiceGuard(const ServiceGuard&) = delete;
  ServiceGuard& operator=(const ServiceGuard&) = delete;

  const std::wstring& name() const { return name_; }
  // True when the name was free (or freed) when the guard was built.
  bool clean() const { return clean_; }

 private:
  std::wstring name_;
  bool clean_ = false;
};

}  // namespace test_support
