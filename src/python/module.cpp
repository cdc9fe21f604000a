// Module initialisation: version constants, then the classes, then the functions, each in the
// module's registration order.
#include "python/classes.hpp"

namespace tessora::py {
namespace {

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tessora_cn0",
                       "GNSS signal-quality grading of RINEX recordings (CN0 analysis).", -1, nullptr,
                       nullptr, nullptr, nullptr, nullptr};

bool g_initialised = false;

bool add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyUnicode_FromString("tessora_cn0"));
    if (!name) return false;
    Ref f = Ref::steal(PyCFunction_NewEx(def, nullptr, name.get()));
    if (!f) return false;
    return PyModule_AddObjectRef(module, def->ml_name, f.get()) == 0;
}

PyObject* init_module() {
    if (g_initialised) {
        PyErr_SetString(PyExc_ImportError, "tessora_cn0 can only be initialised once per process");
        return nullptr;
    }
    if (!init_exceptions()) return nullptr;
    Ref m = Ref::steal(PyModule_Create2(&kModule, PYTHON_API_VERSION));
    if (!m) return nullptr;
    if (PyModule_AddStringConstant(m.get(), "VERSION", kVersion) < 0) return nullptr;
    if (PyModule_AddStringConstant(m.get(), "__version__", kVersion) < 0) return nullptr;

    // Classes.
    if (!add_rinex_obs_type(m.get())) return nullptr;
    if (!add_navigation_type(m.get())) return nullptr;
    if (!add_analysis_config_type(m.get())) return nullptr;
    if (!add_analyzer_type(m.get())) return nullptr;
    if (!add_analysis_result_type(m.get())) return nullptr;
    if (!add_quality_score_type(m.get())) return nullptr;
    if (!add_interference_types(m.get())) return nullptr;
    if (!add_batch_iterator_type(m.get())) return nullptr;
    if (!add_table_types(m.get())) return nullptr;
    if (!add_rtcm_stream_type(m.get())) return nullptr;
    if (!add_live_detector_type(m.get())) return nullptr;

    // Functions.
    PyMethodDef* functions[] = {
        &kReadRinexObsDef,
        &kReadRinexObsBytesDef,
        &kParseRinexDef,
        &kReadNavigationDef,
        &kReadNavigationBytesDef,
        &kAnalyzeCn0Def,
        &kVersionDef,
        &kDownloadTleDef,
        &kParseTleContentDef,
        &kAnalyzeManyDef,
        &kVisibilityTimelineDef,
        &kDetectInterferenceDef,
        &kDetectLearningDef,
        &kCombineTemplatesDef,
        &kInjectInterferenceDef,
        &kIterAnalyzeDef,
        &kMakeTableDef,
        &kReadRtcm3Def,
    };
    for (PyMethodDef* def : functions)
        if (!add_function(m.get(), def)) return nullptr;
    g_initialised = true;
    return m.release();
}

}  // namespace
}  // namespace tessora::py

PyMODINIT_FUNC PyInit_tessora_cn0(void) { return tessora::py::init_module(); }
