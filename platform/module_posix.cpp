#include <dlfcn.h>
#include <unistd.h>

#include "platform/platform.h"

namespace classify {

module_functions load_module(const std::string& path, const std::vector<const char*>& names) {
  module_functions module;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    module.problem = std::string("does not load: ") + dlerror();
    module.outcome = access(path.c_str(), F_OK) != 0 ? module_functions::state::missing
                                                     : module_functions::state::unloadable;
    return module;
  }
  for (const char* name : names) {
    module.functions.push_back(dlsym(handle, name));
    if (module.functions.back() == nullptr) {
      module.outcome = module_functions::state::damaged;
      module.problem = "is damaged";
      return module;
    }
  }
  module.outcome = module_functions::state::loaded;
  return module;
}

}  // namespace classify
