#include "platform/Application.h"

#include <cstdio>

#include "platform/EventLoop.h"
#include "platform/FrontEnd.h"

void TApplication::ProcessMessages() {
  EventLoop::Current().ProcessMessages();
}

void TApplication::Run() {
  GetFrontEnd().Run();
}

void TApplication::Terminate() {
  EventLoop::Current().Quit();
  GetFrontEnd().Terminate();
}

bool TApplication::Terminated() const {
  return EventLoop::Current().Terminated();
}

void TApplication::HandleException(const std::exception& e) {
  if (OnException) {
    OnException(e);
    return;
  }
  std::fprintf(stderr, "%s\n", e.what());
}

TApplication& Application() {
  static TApplication application;
  return application;
}
