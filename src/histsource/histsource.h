// Declarations shared by the historical data source's source files: the module namespace and the
// methods of OstraDataDataSource, each defined in the file of its concern.
#pragma once
#include <nanobind/nanobind.h>

#include "calls.h"
#include "global_cache.h"
#include "interned.h"
#include "module_globals.h"
#include "outside_names.h"

namespace histsource {
namespace nb = nanobind;

// The module's namespace; every outside name is read from it when used.
extern corvane::ModuleGlobals globals;
// The outside names (outside_names.cpp), bound at import.
extern corvane::OutsideNames outside_names;

// The value the module binds under `ident` now. The data source leaves `module_globals` off (its
// calls are dominated by pandas), so every read is a dict lookup.
#define HS_GLOBAL(ident) CORVANE_GLOBAL(::histsource::globals, ident)

// A pristine expression of the outside names ("np.hstack"): its object at import, and whether the
// module namespace still gives that object (the condition of the native path that stands in for it).
#define HS_IMPORT_TIME(expr) CORVANE_IMPORT_TIME(::histsource::outside_names, expr)
#define HS_PRISTINE(expr) HS_IMPORT_TIME(expr).still(::histsource::globals)

// Module set-up, in import order.
void add_module_functions(nb::module_ &m);
void add_data_source_class(nb::module_ &m);

// Module-level functions (module_functions.cpp); _is_suspended and _get_tick_size are memoised at
// import by the framework's lru_cache.
nb::object is_valid_order_book_ie(nb::handle market_code);
nb::object is_suspended_series(nb::handle market_code);
nb::object get_tick_size(nb::handle market_code);

// Construction, instruments and calendars (construction.cpp).
void data_source_init(nb::handle self);
nb::object get_trading_calendars(nb::handle self);
nb::object get_instruments(nb::handle self, nb::handle id_or_syms, nb::handle types);

// Status and price queries (status_queries.cpp).
nb::object is_st_stock(nb::handle self, nb::handle market_code, nb::handle dates);
nb::object is_suspended(nb::handle self, nb::handle market_code, nb::handle dates);
nb::object get_trading_minutes_for(nb::handle self, nb::handle instrument, nb::handle trading_dt);
nb::object get_bar(nb::handle self, nb::handle instrument, nb::handle dt, nb::handle frequency);
nb::object get_last_price(nb::handle self, nb::handle instrument, nb::handle dt);
nb::object current_snapshot(nb::handle self, nb::handle instrument, nb::handle frequency, nb::handle dt);
nb::object get_settle_price(nb::handle self, nb::handle instrument, nb::handle date);

// Corporate actions (corporate_actions.cpp).
nb::object get_dividend(nb::handle self, nb::handle instrument);
nb::object get_split(nb::handle self, nb::handle instrument);
nb::object get_share_transformation(nb::handle self, nb::handle market_code);

// Futures parameters, yield curve, data range (futures_and_rates.cpp).
nb::object get_yield_curve(nb::handle self, nb::handle start_date, nb::handle end_date, nb::handle tenor);
nb::object get_commission_info(nb::handle self, nb::handle instrument);
nb::object get_future_info(nb::handle self, nb::handle instrument, nb::handle hedge_type);
nb::object available_data_range(nb::handle self, nb::handle frequency);
nb::object get_futures_trading_parameters(nb::handle self, nb::handle instrument, nb::handle dt);

// Day bars (day_bars.cpp) and the bar array layout (bar_array.cpp).
nb::object n_trading_days_before(nb::handle self, nb::handle dt, nb::handle count);
nb::object private_get_day_bars(nb::handle self, nb::handle market_code, nb::handle bar_count, nb::handle dt,
                                nb::handle adjust_type, nb::handle variety, nb::handle skip_suspended);
nb::object get_day_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle dt,
                        nb::handle adjust_type, nb::handle skip_suspended);
nb::object ndarray_from_df(nb::handle df, nb::handle fields);
nb::object history_day_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle fields,
                            nb::handle dt, nb::handle skip_suspended, nb::handle adjust_type);

// Bar history and the minute-bar cache (bar_history.cpp).
nb::object get_minute_bars_of_day(nb::handle self, nb::handle market_code, nb::handle day, nb::handle adjust_type,
                                  nb::handle variety);
nb::object prepare_for(nb::handle self, nb::handle instrument, nb::handle dates, nb::handle adjust_type);
nb::object history_bars(nb::handle self, nb::handle instrument, nb::handle bar_count, nb::handle frequency,
                        nb::handle fields, nb::handle dt, nb::handle skip_suspended, nb::handle include_now,
                        nb::handle adjust_type, nb::handle adjust_orig);

} // namespace histsource
