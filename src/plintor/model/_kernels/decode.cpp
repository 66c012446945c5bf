#include "module.hpp"

namespace plintor {

int add_decode(PyObject *)
{
    return 0;
}

}  // namespace plintor
