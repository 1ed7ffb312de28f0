// The port through which an engine shows that its page is busy: the shred
// page's animation in the window, nothing (or a note) elsewhere.
#pragma once

namespace corvanel {

class BusyIndicator {
 public:
  virtual ~BusyIndicator() = default;
  // Loads and plays the animation and shows its control.
  virtual void Start() = 0;
  // Hides the control and unloads the animation; the page then shows the
  // shared state afresh (its chosen file may have been emptied).
  virtual void Stop() = 0;
};

// The indicator of the shred page. Until one is installed both calls do nothing.
void InstallBusyIndicator(BusyIndicator* indicator);
void StartBusyIndicator();
void StopBusyIndicator();

}  // namespace corvanel
