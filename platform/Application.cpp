#include "platform/Application.h"

#include <cstdio>

#include "platform/EventLoop.h"

void TApplication::ProcessMessages() {
  EventLoop::Current().ProcessMessages();
}

void TApplication::Run() {
  EventLoop::Current().Run();
}

void TApplication::Terminate() {
  EventLoop::Current().Quit();
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
