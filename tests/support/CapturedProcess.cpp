#include "support/CapturedProcess.h"

#include "common/UniqueHandle.h"

namespace test_support {

namespace {

void Drain(HANDLE pipe, std::string* output) {
  char buffer[4096];
  DWORD available = 0;
  DWORD read = 0;
  while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
         ::ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    output->append(buffer, read);
  }
}

}  // namespace

CapturedRun RunCaptured(const std::wstring& commandLine, DWORD timeoutMs) {
  CapturedRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) return run;
  UniqueKernelHandle ownOut(outRead), childOut(outWrite);
  if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) return run;
  UniqueKernelHandle childIn(inRead), ownIn(inWrite);
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  ownIn.reset();  // the child reads end of input at once

  std::wstring writable = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn.get();
  startup.hStdOutput = childOut.get();
  startup.hStdError = childOut.get();
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    return run;
  }
  run.started = true;
  run.pid = info.dwProcessId;
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  childOut.reset();
  childIn.reset();

  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    Drain(ownOut.get(), &run.output);
    if (::WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
      run.ended = true;
      break;
    }
    if (::GetTickCount64() >= deadline) {
      ::TerminateProcess(process.get(), 259);
      ::WaitForSingleObject(process.get(), 5000);
      break;
    }
  }
  Drain(ownOut.get(), &run.output);
  ::GetExitCodeProcess(process.get(), &run.exitCode);
  return run;
}

}  // namespace test_support
