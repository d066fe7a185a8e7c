#include "TestServiceOptions.h"

#include <cwchar>

const DWORD kInjectableControls[] = {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                                     SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_SHUTDOWN,
                                     SERVICE_CONTROL_POWEREVENT, SERVICE_CONTROL_SESSIONCHANGE,
                                     SERVICE_CONTROL_PRESHUTDOWN, 200};
const size_t kInjectableControlCount = sizeof(kInjectableControls) / sizeof(kInjectableControls[0]);

namespace {

bool ReadNumber(const std::wstring& text, DWORD* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  const unsigned long number = std::wcstoul(text.c_str(), &end, 10);
  if (end == nullptr || *end != L'\0') return false;
  *value = static_cast<DWORD>(number);
  return true;
}

bool ReadFlag(const std::wstring& text, bool* value) {
  if (text != L"0" && text != L"1") return false;
  *value = text == L"1";
  return true;
}

}  // namespace

bool ParseTestServiceOptions(const std::vector<std::wstring>& args, TestServiceOptions* options) {
  *options = TestServiceOptions();
  if (args.size() < 2) return false;
  if (args[0] == L"service") {
    options->mode = TestServiceOptions::Mode::Service;
  } else if (args[0] == L"stuck") {
    options->mode = TestServiceOptions::Mode::Stuck;
  } else if (args[0] == L"uninstall") {
    options->mode = TestServiceOptions::Mode::Uninstall;
  } else {
    return false;
  }
  options->serviceName = args[1];
  for (size_t i = 2; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return false;
    const std::wstring& name = args[i];
    const std::wstring& value = args[i + 1];
    bool ok = true;
    if (name == L"--start-delay-ms") ok = ReadNumber(value, &options->startDelayMs);
    else if (name == L"--stop-delay-ms") ok = ReadNumber(value, &options->stopDelayMs);
    else if (name == L"--can-stop") ok = ReadFlag(value, &options->canStop);
    else if (name == L"--can-pause") ok = ReadFlag(value, &options->canPause);
    else if (name == L"--can-shutdown") ok = ReadFlag(value, &options->canShutDown);
    else if (name == L"--power-events") ok = ReadFlag(value, &options->supportShutdownEvents);
    else if (name == L"--report") options->reportPath = value;
    else if (name == L"--inject") options->injectPrefix = value;
    else if (name == L"--hold-service-main-ms") ok = ReadNumber(value, &options->holdServiceMainMs);
    else ok = false;
    if (!ok) return false;
  }
  return true;
}
