// The module's entry points. Before Qt is initialised the display is tried by hand: Qt ends the
// process when its platform plug-in cannot connect, and the program must then run headless.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frontend/qt/QtFrontEnd.h"

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool PluginInstalled(const char* platform) {
  const QString path = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libq" +
                       QString::fromLatin1(platform) + ".so";
  return QFileInfo::exists(path);
}

// An X server answers on DISPLAY (with its authorisation): asked through libxcb, which Qt's X
// plug-in uses anyway, loaded here only for the question.
bool XServerAnswers(std::string& why) {
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!xcb) {
    why = "libxcb is not installed";
    return false;
  }
  auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  bool answers = false;
  if (connect && hasError && disconnect) {
    void* connection = connect(nullptr, nullptr);
    answers = connection && hasError(connection) == 0;
    if (connection) disconnect(connection);
  }
  if (!answers) why = "cannot connect to the X display \"" + Environment("DISPLAY") + "\"";
  return answers;
}

// A Wayland compositor listens on its socket.
bool WaylandAnswers(std::string& why) {
  std::string path = Environment("WAYLAND_DISPLAY");
  if (!path.starts_with("/")) path = Environment("XDG_RUNTIME_DIR") + "/" + path;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    why = "the Wayland socket path is too long";
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool answers =
      fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  if (!answers) why = "cannot connect to the Wayland display \"" + path + "\"";
  return answers;
}

// Chooses Qt's platform plug-in from what can be reached; false with the reason when nothing.
// A platform the user chose (QT_QPA_PLATFORM) is taken as it is.
bool ChoosePlatform(std::string& why) {
  if (!Environment("QT_QPA_PLATFORM").empty()) return true;
  std::string waylandWhy, xWhy;
  const bool wayland = !Environment("WAYLAND_DISPLAY").empty() && PluginInstalled("wayland") &&
                       WaylandAnswers(waylandWhy);
  const bool x = !Environment("DISPLAY").empty() && PluginInstalled("xcb") && XServerAnswers(xWhy);
  if (wayland) {
    ::setenv("QT_QPA_PLATFORM", x ? "wayland;xcb" : "wayland", 1);
    return true;
  }
  if (x) {
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    return true;
  }
  why = !xWhy.empty()                     ? xWhy
        : !waylandWhy.empty()             ? waylandWhy
        : !Environment("DISPLAY").empty() ? "Qt's X11 plug-in (libqxcb.so) is not installed"
                                          : "Qt's Wayland plug-in is not installed";
  return false;
}

// The toolkit's application object: made before the front-end and gone after it.
struct TApplicationHolder {
  std::unique_ptr<QApplication> Application;
};

class TOwningQtFrontEnd : private TApplicationHolder, public TQtFrontEnd {
 public:
  explicit TOwningQtFrontEnd(std::unique_ptr<QApplication> application)
      : TApplicationHolder{std::move(application)} {}
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* TarvikWindowModuleBuild() {
  return TARVIK_BUILD_ID;
}

__attribute__((visibility("default"))) TWindowFrontEnd* TarvikOpenWindowFrontEnd(int* argc,
                                                                                 char** argv,
                                                                                 std::string* why) {
  if (!ChoosePlatform(*why)) return nullptr;
  auto application = std::make_unique<QApplication>(*argc, argv);
  QApplication::setApplicationName(QStringLiteral("tarvik"));
  QApplication::setDesktopFileName(QStringLiteral("tarvik"));
  return new TOwningQtFrontEnd(std::move(application));
}
}
