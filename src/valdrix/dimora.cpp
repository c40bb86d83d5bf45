// valdrix.dimora: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(dimora, module) { (void)module; }
