// Names under which the start-up binds the libraries in the module namespace.
// Every call looks them up there, so that replacing a module attribute
// reaches the next call.
#pragma once

#include "pelorkit/pyutil.hpp"

namespace pelorkit::analyka {

inline const Name np_name{"np"};
inline const Name pd_name{"pd"};
inline const Name anndata_name{"anndata"};

} // namespace pelorkit::analyka
