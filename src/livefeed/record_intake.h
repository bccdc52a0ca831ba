// Pieces shared by the market-data callbacks (snapshots, bars, level-2 records): market codes,
// terminal time stamps, dict records with a fixed key order, per-instrument histories and the
// per-instrument histories.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>

#include "calls.h"
#include "interned.h"
#include "livefeed.h"
#include "record_fields.h"

namespace livefeed {
namespace nb = nanobind;

// security_id + "." + suffix, with the host's `+` semantics for anything that is not plain text.
nb::object join_market_code(nb::handle security_id, nb::handle suffix);

// The market code of a terminal record: security_id, a full stop and the exchange suffix that
// `exchange_of(market_type)` returns. Reads `security_id` then `market_type`; the market type read
// is handed back through `market_type`, when given, for callers that pass it on.
nb::object market_code_of(nb::handle record, nb::handle exchange_of, nb::object *market_type = nullptr);

// stamp / 1000 as the host's true division does it (a float for integer stamps).
nb::object stamp_seconds(nb::handle stamp);

// chr(code): a one-character string, with the host's own errors for codes chr refuses.
nb::object char_of(nb::handle code);

// A dict layout with a fixed key order; `make` returns a new dict holding `values` under the keys
// in that order. Keys are interned once; the dict is cloned from a template so no resize happens.
class RecordLayout {
public:
    static constexpr std::size_t kMaxKeys = 24;

    // The keys of the built values (first), then the keys of the copied fields, in their order.
    template <std::size_t B, std::size_t N>
    RecordLayout(const char *const (&built)[B], const corvane::Field (&fields)[N]) : RecordLayout(built, B, fields, N) {
        static_assert(B + N <= kMaxKeys, "a record layout holds 1 to kMaxKeys keys");
    }
    // The keys of the copied fields alone.
    template <std::size_t N>
    explicit RecordLayout(const corvane::Field (&fields)[N]) : RecordLayout(nullptr, 0, fields, N) {
        static_assert(N > 0 && N <= kMaxKeys, "a record layout holds 1 to kMaxKeys keys");
    }
    nb::object make(PyObject *const *values) const;

private:
    RecordLayout(const char *const *built, std::size_t built_count, const corvane::Field *fields,
                 std::size_t field_count);

    PyObject *keys_[kMaxKeys];
    PyObject *template_;
    std::size_t count_;
};

// Appends `record` to history[market_code], creating the instrument's deque with `new_deque()`
// when it has none. A new deque holds the record before it becomes visible in the history, so no
// reader ever meets an empty deque.
void append_to_history(nb::handle history, nb::handle market_code, nb::handle record, nb::object (*new_deque)());

} // namespace livefeed
