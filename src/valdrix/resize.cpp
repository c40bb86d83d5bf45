// valdrix.resize: not built yet.
#include <vxnative/native.hpp>

NB_MODULE(resize, module) { (void)module; }
