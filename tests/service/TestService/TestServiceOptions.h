// The command line of the test service, read into plain values. The same line serves
// as the service's ImagePath (its behaviour is set there) and as a console command.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct TestServiceOptions {
  enum class Mode { Service, Stuck, Uninstall, Usage };
  Mode mode = Mode::Usage;
  std::wstring serviceName;       // the registered name (both modes)
  DWORD startDelayMs = 0;         // time OnServiceStart takes
  DWORD stopDelayMs = 0;          // time OnServiceStop takes
  bool canStop = true;
  bool canPause = false;
  bool canShutDown = true;
  bool supportShutdownEvents = false;
  std::wstring reportPath;        // file that receives one line per event, when set
  std::wstring injectPrefix;      // events "<prefix>_<control>" that make the service call
                                  // its own control handler with that control
  DWORD holdServiceMainMs = 0;    // holds the service-main thread this long once the
                                  // service shows stopped (see ServiceMainHold.h)
};

// "service <name> [options]", "stuck <name> [options]" (a bare service, not built on
// the framework, that stays stop pending for --stop-delay-ms after STOP) or
// "uninstall <name>". Options:
//   --start-delay-ms N, --stop-delay-ms N, --can-stop 0|1, --can-pause 0|1,
//   --can-shutdown 0|1, --power-events 0|1, --report FILE, --inject PREFIX,
//   --hold-service-main-ms N
bool ParseTestServiceOptions(const std::vector<std::wstring>& args, TestServiceOptions* options);

// The controls for which `--inject` creates an event.
extern const DWORD kInjectableControls[];
extern const size_t kInjectableControlCount;
