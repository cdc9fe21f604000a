// The Python classes and module functions, one registration function per source file. The module
// initialisation calls them in the module's registration order.
#pragma once

#include "python/binding.hpp"
#include "navigation/nav_data.hpp"
#include "cn0/config.hpp"
#include "cn0/pipeline.hpp"
#include "cn0/result.hpp"
#include "interference/report.hpp"
#include "rinex/obs_data.hpp"
#include "columns/table.hpp"

namespace tessora::py {

// Immutable records are shared between the Python object and the analyses that read them:
// a record that never changes is observably the same as a copy of it.
using ObsPayload = std::shared_ptr<const RinexObsData>;
using ConfigPayload = std::shared_ptr<const AnalysisConfig>;

// Class objects, set at module initialisation.
extern PyTypeObject* g_rinex_obs_type;
extern PyTypeObject* g_analysis_config_type;

PyTypeObject* add_rinex_obs_type(PyObject* module);
PyTypeObject* add_analysis_config_type(PyObject* module);

// The settings record held by an AnalysisConfig object (the caller has checked the type).
const ConfigPayload& analysis_config_of(PyObject* obj);

// Wraps a record in a new RinexObsData object.
PyObject* wrap_rinex_obs(RinexObsData&& rec);

// The shared record of a RinexObsData instance (the caller has checked the type). Null with
// RuntimeError set when the instance is mutably borrowed.
ObsPayload obs_payload(PyObject* instance);

// Module functions of the observation reader.
extern PyMethodDef kReadRinexObsDef;
extern PyMethodDef kReadRtcm3Def;
// LiveDetector, the interference detector on a stream.
extern PyTypeObject* g_live_detector_type;
PyTypeObject* add_live_detector_type(PyObject* module);
// RtcmStream, the RTCM 3 decoder fed piece by piece.
extern PyTypeObject* g_rtcm_stream_type;
PyTypeObject* add_rtcm_stream_type(PyObject* module);
// "YYYY-MM-DD" as noon of that day; nullopt for anything else.
std::optional<EpochTime> parse_iso_date(std::string_view s);
// RinexObsData methods of the RTCM 3 encoder.
extern PyMethodDef kToRtcm3Def;
extern PyMethodDef kRtcm3EpochsDef;
extern PyMethodDef kReadRinexObsBytesDef;
extern PyMethodDef kParseRinexDef;
extern PyMethodDef kVersionDef;
// The package version, from pyproject.toml through the build.
inline constexpr const char* kVersion = TESSORA_VERSION;

// ------------------------------------------------------------------ navigation
using NavPayload = std::shared_ptr<const NavigationData>;

extern PyTypeObject* g_navigation_type;

PyTypeObject* add_navigation_type(PyObject* module);

// Wraps a record in a new NavigationData object.
PyObject* wrap_navigation(NavigationData&& rec);

// The shared record of a NavigationData instance (the caller has checked the type, e.g. with
// conv_instance). Null with RuntimeError set when the instance is mutably borrowed.
NavPayload navigation_payload(PyObject* instance);

// Module functions of the navigation reader.
extern PyMethodDef kReadNavigationDef;
extern PyMethodDef kReadNavigationBytesDef;
// Module functions of the TLE catalogue.
extern PyMethodDef kDownloadTleDef;
extern PyMethodDef kParseTleContentDef;

}  // namespace tessora::py

namespace tessora::py {

// ------------------------------------------------------------------ analysis
extern PyTypeObject* g_analyzer_type;
extern PyTypeObject* g_analysis_result_type;
extern PyTypeObject* g_quality_score_type;

PyTypeObject* add_analyzer_type(PyObject* module);
PyTypeObject* add_analysis_result_type(PyObject* module);
PyTypeObject* add_quality_score_type(PyObject* module);

// Wraps a finished analysis in a new AnalysisResult object.
PyObject* wrap_analysis_result(AnalysisResult&& result);

extern PyMethodDef kAnalyzeCn0Def;
extern PyMethodDef kAnalyzeManyDef;
extern PyMethodDef kIterAnalyzeDef;
// The iterator iter_analyze returns.
PyTypeObject* add_batch_iterator_type(PyObject* module);
extern PyMethodDef kVisibilityTimelineDef;

// Message prefixes of analyze_cn0 (and analyze_many) for files that cannot be read.
inline constexpr std::string_view kObsReadPrefix = "Cannot read obs file: ";
inline constexpr std::string_view kNavReadPrefix = "Cannot read nav file: ";
inline constexpr std::string_view kObsWritePrefix = "Cannot write obs file: ";

// Progress lines of a verbose analysis go to sys.stderr, the interpreter lock taken back for
// each line (the analysis itself runs without it). Empty when not verbose.
ProgressSink stderr_progress(bool verbose);

}  // namespace tessora::py

namespace tessora::py {

// ------------------------------------------------------------------ interference injection
extern PyMethodDef kInjectInterferenceDef;

}  // namespace tessora::py

namespace tessora::py {

// ------------------------------------------------------------------ interference detector
extern PyTypeObject* g_interference_report_type;
extern PyTypeObject* g_interference_event_type;
extern PyTypeObject* g_cn0_template_type;

PyTypeObject* add_interference_types(PyObject* module);
// Wraps a finished detection in a new InterferenceReport object.
PyObject* wrap_interference_report(InterferenceReport&& report);

extern PyMethodDef kDetectInterferenceDef;
extern PyMethodDef kDetectLearningDef;
extern PyMethodDef kCombineTemplatesDef;

}  // namespace tessora::py

#include <functional>

namespace tessora::py {

// ------------------------------------------------------------------ column tables

extern PyTypeObject* g_table_type;

PyTypeObject* add_table_types(PyObject* module);
// Builds a table without the interpreter lock and wraps it in a new Table object; a build the
// record cannot afford (std::length_error) raises ValueError with its message.
PyObject* make_table(const std::function<std::shared_ptr<const tessora::Table>()>& build);

// Calls tessora_cn0._columns.<name>(arg): the conversions are Python, which imports each library
// only when asked for.
PyObject* call_conversion(const char* name, PyObject* arg);

extern PyMethodDef kMakeTableDef;

}  // namespace tessora::py
