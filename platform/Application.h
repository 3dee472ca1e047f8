// TApplication: the process-wide application object of the toolkit: its title, the main
// event loop, the terminate flag and the standard report of an exception that escapes an
// event handler.
#pragma once

#include <exception>
#include <functional>
#include <string>

class TApplication {
 public:
  std::string Title;

  // Dispatches what is pending on the calling thread's loop; never blocks.
  void ProcessMessages();
  // Runs the main loop until Terminate: the current front-end's (which hosts the thread's
  // event loop).
  void Run();
  // Sets Terminated and ends the front-end's main loop.
  void Terminate();
  bool Terminated() const;

  // The standard exception report: called for an exception that escapes a handler dispatched
  // by the event loop (messages, timers). The front-end installs OnException; without one the
  // message is printed to standard error.
  std::function<void(const std::exception&)> OnException;
  void HandleException(const std::exception& e);
};

// The one application object of the process.
TApplication& Application();
