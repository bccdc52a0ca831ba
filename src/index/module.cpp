// The index data service: index constituents and weights on one day, through the data gateway.
#include "index_service.h"

namespace index_service {
corvane::ModuleGlobals globals;
}

NB_MODULE(index, m) {
    index_service::globals.bind(m);
    index_service::bind_imports(m);
    index_service::add_api_functions(m);
}
