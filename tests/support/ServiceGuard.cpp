#include "support/ServiceGuard.h"

#include <utility>

#include "support/ServiceCalls.h"

namespace test_support {

ServiceGuard::ServiceGuard(std::wstring name) : name_(std::move(name)) { clean_ = RemoveService(name_); }

ServiceGuard::~ServiceGuard() { RemoveService(name_); }

}  // namespace test_support
