// read_liana: LIANA's by-sample long results as the dict of CCI result tables.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/messages.hpp"

namespace pelorkit::readers {

py::object read_liana(const Call &) {
    raise(PyExc_NotImplementedError, "read_liana is not built yet");
}

} // namespace pelorkit::readers
