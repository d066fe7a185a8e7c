#include "ControlInjector.h"

#include <process.h>

#include "EventReport.h"
#include "TestServiceOptions.h"
#include "common/OpenSecurityAttributes.h"
#include "service/WinServiceBase.h"

ControlInjector::ControlInjector(const std::wstring& prefix) {
  if (prefix.empty()) return;
  for (size_t i = 0; i < kInjectableControlCount; ++i) {
    const std::wstring name = prefix + L"_" + std::to_wstring(kInjectableControls[i]);
    UniqueKernelHandle event(::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, name.c_str()));
    if (!event) continue;
    m_events.push_back(std::move(event));
    m_controls.push_back(kInjectableControls[i]);
  }
  m_events.emplace_back(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // quit
  m_hThread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ControlInjector::Thread, this, 0, nullptr)));
}

ControlInjector::~ControlInjector() {
  if (!m_hThread) return;
  ::SetEvent(m_events.back().get());
  ::WaitForSingleObject(m_hThread.get(), INFINITE);
}

unsigned __stdcall ControlInjector::Thread(void* parameter) {
  ControlInjector* self = static_cast<ControlInjector*>(parameter);
  std::vector<HANDLE> handles;
  for (const auto& event : self->m_events) handles.push_back(event.get());
  for (;;) {
    const DWORD result =
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    const DWORD index = result - WAIT_OBJECT_0;
    if (index >= self->m_controls.size()) return 0;  // quit, or the wait failed
    const DWORD control = self->m_controls[index];
    EventReport::Line("inject control=" + std::to_string(control) + " thread=" +
                      std::to_string(::GetCurrentThreadId()));
    WinServiceBase::ServiceCtrlHandler(control, 0, nullptr, nullptr);
  }
}
