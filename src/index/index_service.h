// Declarations shared by the index service's source files.
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"
#include "global_cache.h"
#include "interned.h"
#include "module_globals.h"
#include "outside_names.h"

namespace index_service {
namespace nb = nanobind;

// The module's namespace; the gateway client and the date module are read from it when used.
extern corvane::ModuleGlobals globals;
// The outside names (outside_names.cpp), bound at load.
extern corvane::OutsideNames outside_names;

// The value the module binds under `ident` now. The service has no fast path, so every read is a
// dict lookup.
#define IX_GLOBAL(ident) CORVANE_GLOBAL(::index_service::globals, ident)

// index_components and index_weights, each published through export_as_api (api.cpp).
void add_api_functions(nb::module_ &m);

} // namespace index_service
