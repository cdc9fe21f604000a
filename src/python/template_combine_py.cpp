// _combine_templates: a station set-up's template from the templates of its clean days, for the
// station store.
#include <memory>
#include <string>
#include <vector>

#include "interference/template_combine.hpp"
#include "python/classes.hpp"

namespace tessora::py {
namespace {

using TemplatePayload = std::shared_ptr<const CN0Template>;

PyObject* combine_templates_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"templates", "station"};
    PyObject* a[2];
    if (!bind_args("_combine_templates", names, 2, 2, args, kwargs, a)) return nullptr;
    std::string_view station;
    if (!conv_text(a[1], "station", station)) return nullptr;
    Ref items = Ref::steal(PySequence_Fast(a[0], "templates must be a sequence of CN0Template"));
    if (!items) return nullptr;
    // The records are shared: each stays alive while it is combined, whatever the caller does.
    std::vector<TemplatePayload> held;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);  // borrowed
        if (!conv_instance(item, g_cn0_template_type, "templates[i]")) return nullptr;
        ReadBorrow guard(borrow_of<TemplatePayload>(item));
        if (!guard.ok()) return nullptr;
        held.push_back(payload_of<TemplatePayload>(item));
    }
    std::vector<const CN0Template*> days;
    for (const TemplatePayload& p : held) days.push_back(p.get());
    std::shared_ptr<const CN0Template> combined;
    std::string name(station);
    if (!without_gil([&] { combined = std::make_shared<const CN0Template>(combine_templates(days, std::move(name))); }))
        return nullptr;
    return box_new<TemplatePayload>(g_cn0_template_type, std::move(combined));
}

}  // namespace

PyMethodDef kCombineTemplatesDef = {
    "_combine_templates", reinterpret_cast<PyCFunction>(combine_templates_py), METH_VARARGS | METH_KEYWORDS,
    "_combine_templates(templates, station)\n--\n\n"
    "A station set-up's CN0Template from the CN0Templates of its clean days: per signal and elevation bin, the\n"
    "median of the days' values weighted by their sample counts (bins of five samples or more; a bin no day filled\n"
    "takes the plain median), counts summed, floor and low elevation the plain medians."};

}  // namespace tessora::py
