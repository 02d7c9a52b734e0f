// Interned names used by several files. The first group are module
// attributes: the start-up binds the libraries under them, and every call
// looks them (and the builtins) up in the module namespace, so that replacing
// a module attribute reaches the next call. Names used by one file only are
// declared there.
#pragma once

#include "pelorkit/pyutil.hpp"

namespace pelorkit::analyka {

// Module attributes and builtins.
inline const Name np_name{"np"};
inline const Name pd_name{"pd"};
inline const Name anndata_name{"anndata"};
inline const Name float_name{"float"};
inline const Name len_name{"len"};

// Attributes of pandas, numpy and anndata objects.
inline const Name AnnData_name{"AnnData"};
inline const Name DataFrame_name{"DataFrame"};
inline const Name StringDtype_name{"StringDtype"};
inline const Name columns_name{"columns"};
inline const Name dtype_name{"dtype"};
inline const Name empty_name{"empty"};
inline const Name iloc_name{"iloc"};
inline const Name index_name{"index"};
inline const Name keys_name{"keys"};
inline const Name shape_name{"shape"};
inline const Name tolist_name{"tolist"};
inline const Name values_name{"values"};

// Texts of the structure display.
inline const Name ellipsis_text{"..."};

} // namespace pelorkit::analyka
