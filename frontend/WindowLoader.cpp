// Loading the window module on demand: nothing of the toolkit is mapped until a window is
// wanted.
#include <dlfcn.h>

#include <cstring>

#include "frontend/WindowModule.h"
#include "util/FileUtils.h"

namespace {

constexpr const char* kModuleFile = "tarvik-window.so";

}  // namespace

std::vector<std::string> WindowModuleCandidates() {
  const std::string exeDir = GetExeDir();
  return {exeDir + "/" + kModuleFile,
          exeDir + "/../" TARVIK_INSTALL_LIBDIR "/tarvik/" + std::string(kModuleFile)};
}

std::unique_ptr<TWindowFrontEnd> OpenWindowFrontEnd(int& argc, char** argv, std::string& why) {
  std::string path;
  for (const std::string& candidate : WindowModuleCandidates())
    if (FileCanOpen(candidate)) {
      path = candidate;
      break;
    }
  if (path.empty()) {
    why = std::string("the window module ") + kModuleFile + " is not installed";
    return nullptr;
  }
  // Kept loaded for the life of the process: the toolkit does not support being unloaded.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* error = ::dlerror();
    why = error ? error : ("cannot load " + path);
    return nullptr;
  }
  auto build = reinterpret_cast<const char* (*)()>(::dlsym(module, kWindowModuleBuildSymbol));
  auto open = reinterpret_cast<TOpenWindowFrontEnd>(::dlsym(module, kOpenWindowFrontEndSymbol));
  if (!build || !open || std::strcmp(build(), TARVIK_BUILD_ID) != 0) {
    why = path + " belongs to another build of the program";
    return nullptr;
  }
  std::unique_ptr<TWindowFrontEnd> frontEnd(open(&argc, argv, &why));
  return frontEnd;
}
