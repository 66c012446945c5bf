#include "module.hpp"

namespace plintor {

int add_forward_decoder(PyObject *)
{
    return 0;
}
int add_forward_decoder_methods()
{
    return 0;
}

}  // namespace plintor
