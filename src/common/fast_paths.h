// The switch of the native fast paths (docs/fast-paths.md): each one is off until its module turns
// it on at import, and stays off when CORVANE_GENERIC=1 is in the environment then, or when the
// interpreter layout it relies on fails the import-time check. A path that is off makes its
// caches learn nothing, so every read, store and call takes the generic C-API path.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace corvane::fast {
namespace nb = nanobind;

enum Path : unsigned {
    AttributeReads,    // AttrSite
    AttributeStores,   // AttrStoreSite
    MethodCalls,       // MethodSite
    ClassAttributes,   // ClassAttrSite
    ClassMethods,      // ClassMethodSite
    ModuleGlobalReads, // GlobalSite, ModuleAttrSite
    InstanceValues,    // reads and stores in an instance's values array (layout-dependent)
    DictTemplates,     // dict records written into a cloned key table (layout-dependent)
    FrameViews,        // array forms of cached frames (histsource)
    NativeDates,       // dates converted natively instead of through the bound pandas types
    OwnMethods,        // the class's own native methods called without the attribute read
    QueueFullness,     // the ring buffer's fullness read from its fields (event_queue.cpp)
    MarketCodes,       // one string object per market code text (record_intake.cpp)
    RecordReads,       // RecordReader: the fields of a record through one check
    ByteJoin,          // minute days joined by copying their bytes instead of np.hstack (bar_join.cpp)
    Count
};

// The name each path has in the module attribute `fast_paths`.
inline const char *name_of(Path p) {
    static const char *const names[] = {
        "attribute_reads", "attribute_stores", "method_calls",   "class_attributes", "class_methods",
        "module_globals",  "instance_values",  "dict_templates", "frame_views",      "native_dates",
        "own_methods",     "queue_fullness",   "market_codes",   "record_reads",     "byte_join",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == Count, "one name for every path");
    return names[p];
}

// Per extension module (each links its own copy): all off until enable() runs at import.
inline bool enabled[Count] = {};

inline bool on(Path p) { return enabled[p]; }

// CORVANE_GENERIC set to anything but "" or "0" when the module is imported.
inline bool generic_requested() {
    const char *v = std::getenv("CORVANE_GENERIC");
    return v && *v && std::strcmp(v, "0") != 0;
}

// Turns on the paths a module uses, unless the generic mode was asked for; `checked` decides each
// layout-dependent path (false leaves it off). Publishes the tuple `fast_paths` on the module.
template <typename Check> void enable(nb::module_ &m, std::initializer_list<Path> paths, Check &&checked) {
    nb::list names;
    if (!generic_requested()) {
        for (Path p : paths) {
            enabled[p] = checked(p);
            if (enabled[p])
                names.append(nb::str(name_of(p)));
        }
    }
    m.attr("fast_paths") = nb::tuple(names);
}

} // namespace corvane::fast
