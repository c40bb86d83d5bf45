// valdrix.canvora: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(canvora, module) { (void)module; }
