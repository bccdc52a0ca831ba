// Declarations shared by the index service's source files.
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"
#include "interned.h"
#include "module_globals.h"

namespace index_service {
namespace nb = nanobind;

// The module's namespace; the gateway client and the date module are read from it when used.
extern corvane::ModuleGlobals globals;

#define IX_GLOBAL(ident) ::index_service::globals.get(CORVANE_NAME(ident))

// The names the service binds at load (imports.cpp).
void bind_imports(nb::module_ &m);

// index_components and index_weights, each published through export_as_api (api.cpp).
void add_api_functions(nb::module_ &m);

} // namespace index_service
