// index_components and index_weights: one gateway call for one day each, with the exact
// documentation texts and the signature (market_code, date=None), both parameters given by
// position or by name.
#include <string>

#include "class_builder.h"
#include "index_service.h"
#include "python_ops.h"

namespace index_service {
namespace {

// The day string for the gateway: today in ISO form without a date, else date.strftime.
nb::object day_string(nb::handle date) {
    if (date.is_none()) {
        nb::object date_class = corvane::getattr(IX_GLOBAL(datetime), CORVANE_NAME(date));
        nb::object today = corvane::call_method(date_class, CORVANE_NAME(today));
        return corvane::call_method(today, CORVANE_NAME(isoformat));
    }
    return corvane::call_method(date, CORVANE_NAME(strftime), CORVANE_TEXT("%Y-%m-%d"));
}

nb::object table_or_none(nb::handle reply) {
    // data, code, msg = reply
    nb::object data = corvane::unpack_exactly<3>(reply)[0];
    return corvane::truthy(corvane::getattr(data, CORVANE_NAME(empty))) ? nb::none() : data;
}

nb::object index_components(nb::handle market_code, nb::handle date) {
    nb::object d = day_string(date);
    nb::object codes = nb::list();
    if (PyList_Append(codes.ptr(), market_code.ptr()) != 0)
        throw nb::python_error();
    nb::object reply = corvane::call_method_kw(IX_GLOBAL(gid), CORVANE_NAME(index_con_his),
                                               CORVANE_KWNAMES("start_time", "end_time"), codes, d, d);
    return table_or_none(reply);
}

nb::object index_weights(nb::handle market_code, nb::handle date) {
    nb::object d = day_string(date);
    nb::object reply = corvane::call_method_kw(IX_GLOBAL(gid), CORVANE_NAME(get_index_weight_stk),
                                               CORVANE_KWNAMES("start_time", "end_time"), market_code, d, d);
    return table_or_none(reply);
}

// The documentation text after each function's title.
constexpr const char *kDocTail = "\n\n"
                                 "    :param market_code: 指数代码\n"
                                 "    :param date:  日期\n"
                                 "    :return: 指数成股份的market_code list or None\n"
                                 "    ";

} // namespace

void add_api_functions(nb::module_ &m) {
    using nb::arg;
    corvane::FunctionBuilder functions(m);
    const std::string components_doc = std::string("获取指数成股份") + kDocTail;
    const std::string weights_doc = std::string("获取指数成股份权重") + kDocTail;
    nb::object components = functions.function("index_components", "market_code, date=None", components_doc.c_str(),
                                               &index_components, arg("market_code").none(), arg("date").none());
    nb::object weights = functions.function("index_weights", "market_code, date=None", weights_doc.c_str(),
                                            &index_weights, arg("market_code").none(), arg("date").none());
    // Each is published through the data-client decorator, as the framework's own modules do.
    m.attr("index_components") = corvane::call(m.attr("export_as_api"), components);
    m.attr("index_weights") = corvane::call(m.attr("export_as_api"), weights);
}

} // namespace index_service
