#include "Startup.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "ErrorDisplay.h"
#include "TarnupMain.h"
#include "Win32FormView.h"
#include "serial/WindowsPortList.h"
#include "serial/win32/Win32Platform.h"

int TarnUpMain(HINSTANCE instance) {
  // The form goes before its view: its serial component closes the port and
  // stops its event thread while the view's owner still takes hand-overs.
  std::unique_ptr<TWin32FormView> window;
  std::unique_ptr<TTarnUpForm> form;
  try {
    window = std::make_unique<TWin32FormView>(instance);
    form = std::make_unique<TTarnUpForm>(*window, window->SerialOwner(), MakeWin32Platform());
    window->SetEvents(form.get());
    window->StartTimer();
    form->SetPortTooltipSource(
        [sources = std::shared_ptr(MakeSystemPortSources())](unsigned count) {
          const std::vector<WindowsPort> ports = ListWindowsPorts(*sources);
          std::vector<std::string> tips;
          for (unsigned n = 1; n <= count; ++n) tips.push_back(DescribeWindowsComPort(n, ports));
          return tips;
        });
  } catch (const std::exception& e) {
    if (window) window->SetEvents(nullptr);
    ShowExceptionBox(ApplicationTitle(), e.what());
    return 1;
  }
  form->Created();
  window->Show();
  const int result = window->Run();
  window->SetEvents(nullptr);
  form.reset();  // closes the port if it is still open
  return result;
}
