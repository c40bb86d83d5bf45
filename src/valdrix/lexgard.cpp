// valdrix.lexgard: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(lexgard, module) { (void)module; }
