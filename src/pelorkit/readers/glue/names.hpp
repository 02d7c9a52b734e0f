// Names under which the start-up binds what the readers use in the module
// namespace. Every call looks them up there, so that replacing a module
// attribute reaches the next call.
#pragma once

#include "pelorkit/pyutil.hpp"

namespace pelorkit::readers {

inline const Name np_name{"np"};
inline const Name pd_name{"pd"};
inline const Name os_name{"os"};
inline const Name warnings_name{"warnings"};
inline const Name mapping_name{"Mapping"};
inline const Name user_warning_name{"UserWarning"};

} // namespace pelorkit::readers
