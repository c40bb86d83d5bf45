// valdrix.aspekta: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(aspekta, module) { (void)module; }
