// valdrix.comfyui.halvane: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(halvane, module) { (void)module; }
