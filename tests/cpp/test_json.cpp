// JSON writer of analysis results: number notation, string escapes and the exact layout of both
// forms. Expected texts are written by hand from the output format, not taken from the writer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "cn0/config.hpp"
#include "cn0/json.hpp"
#include "cn0/state.hpp"
#include "common/numbers.hpp"

using namespace tessora;

namespace {

std::string num(double v) {
    std::string s;
    append_json_number(s, v);
    return s;
}

double from_bits(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}
std::uint64_t to_bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Removes the indentation of an indented text: new lines with the following blanks, and the
// blank after each member colon. Strings are left alone.
std::string strip_layout(const std::string& s) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (in_string) {
            out += c;
            if (c == '\\') out += s[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        if (c == '\n') {
            while (i + 1 < s.size() && s[i + 1] == ' ') ++i;
            continue;
        }
        if (c == ' ' && i > 0 && s[i - 1] == ':') continue;
        out += c;
    }
    return out;
}

}  // namespace

TEST(JsonNumber, PlainNotationWithinExponentWindow) {
    EXPECT_EQ(num(30.0), "30.0");
    EXPECT_EQ(num(100.0), "100.0");
    EXPECT_EQ(num(1.0), "1.0");
    EXPECT_EQ(num(1500.0), "1500.0");
    EXPECT_EQ(num(0.25), "0.25");
    EXPECT_EQ(num(123.456), "123.456");
    EXPECT_EQ(num(45.125), "45.125");
    EXPECT_EQ(num(-7.5), "-7.5");
    EXPECT_EQ(num(1e-5), "0.00001");
    EXPECT_EQ(num(1.5e-5), "0.000015");
    EXPECT_EQ(num(0.1), "0.1");
    EXPECT_EQ(num(1e15), "1000000000000000.0");
    EXPECT_EQ(num(1.5e15), "1500000000000000.0");
    EXPECT_EQ(num(9007199254740992.0), "9007199254740992.0");  // 2^53, E = 15
    EXPECT_EQ(num(123456789012345.6), "123456789012345.6");
    EXPECT_EQ(num(0.30000000000000004), "0.30000000000000004");
}

TEST(JsonNumber, ExponentNotationOutsideWindow) {
    EXPECT_EQ(num(1e16), "1e+16");
    EXPECT_EQ(num(-1e16), "-1e+16");
    EXPECT_EQ(num(1e-6), "1e-6");
    EXPECT_EQ(num(1.5e-7), "1.5e-7");
    EXPECT_EQ(num(1.2345678901234568e20), "1.2345678901234568e+20");
    EXPECT_EQ(num(1e23), "1e+23");  // the nearest double lies just below 10^23
    EXPECT_EQ(num(9.99e-6), "9.99e-6");
    EXPECT_EQ(num(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(num(std::numeric_limits<double>::denorm_min()), "5e-324");
    EXPECT_EQ(num(-std::numeric_limits<double>::min()), "-2.2250738585072014e-308");
}

TEST(JsonNumber, ZerosAndNonFinite) {
    EXPECT_EQ(num(0.0), "0.0");
    EXPECT_EQ(num(-0.0), "-0.0");
    EXPECT_EQ(num(std::nan("")), "null");
    EXPECT_EQ(num(-std::nan("")), "null");
    EXPECT_EQ(num(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(num(-std::numeric_limits<double>::infinity()), "null");
}

// Decimal exponent of the written text: from the exponent suffix, or from the place of the first
// significant digit relative to the point.
static bool check_notation(const std::string& s, double v, std::string& why) {
    std::size_t i = 0;
    if (std::signbit(v)) {
        if (s.empty() || s[0] != '-') return why = "missing minus", false;
        i = 1;
    }
    const std::string body = s.substr(i);
    const std::size_t epos = body.find('e');
    if (epos == std::string::npos) {
        // Plain: digits '.' digits, with a fractional part always present.
        const std::size_t dot = body.find('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == body.size()) return why = "no point", false;
        for (std::size_t k = 0; k < body.size(); ++k)
            if (k != dot && !(body[k] >= '0' && body[k] <= '9')) return why = "bad char", false;
        if (dot > 1 && body[0] == '0') return why = "leading zero", false;
        int e;
        if (body[0] != '0') {
            e = static_cast<int>(dot) - 1;
        } else {
            std::size_t k = dot + 1;
            while (k < body.size() && body[k] == '0') ++k;
            if (k == body.size()) {
                if (v != 0.0) return why = "zero text for non-zero", false;
                return body == "0.0" ? true : (why = "zero form", false);
            }
            e = -static_cast<int>(k - dot);
        }
        if (e < -5 || e > 15) return why = "plain outside window", false;
        // A trailing zero after the point is only allowed as the single ".0" of an integral value.
        if (body.back() == '0' && body.substr(dot) != ".0") return why = "trailing zero", false;
        return true;
    }
    // Exponent form: d[.d+]e(+|-)digits without leading zero.
    const std::string mant = body.substr(0, epos);
    const std::string ex = body.substr(epos + 1);
    if (mant.empty() || mant[0] < '1' || mant[0] > '9') return why = "mantissa lead", false;
    if (mant.size() > 1) {
        if (mant[1] != '.' || mant.size() < 3) return why = "mantissa point", false;
        for (std::size_t k = 2; k < mant.size(); ++k)
            if (mant[k] < '0' || mant[k] > '9') return why = "mantissa digit", false;
        if (mant.back() == '0') return why = "mantissa trailing zero", false;
    }
    if (ex.size() < 2 || (ex[0] != '+' && ex[0] != '-') || ex[1] == '0') return why = "exponent form", false;
    int e = std::atoi(ex.c_str() + 1);
    if (ex[0] == '-') e = -e;
    if (e >= -5 && e <= 15) return why = "exponent inside window", false;
    return true;
}

// Significant digits of the written text.
static int significant_digits(const std::string& s) {
    std::string d;
    for (char c : s) {
        if (c == 'e') break;
        if (c >= '0' && c <= '9') d += c;
    }
    const std::size_t a = d.find_first_not_of('0');
    if (a == std::string::npos) return 1;
    const std::size_t b = d.find_last_not_of('0');
    return static_cast<int>(b - a + 1);
}

// No decimal string with one digit fewer reads back as v: the correctly rounded candidate and its
// two neighbours in the last place are tried (printf rounds exactly in the C library).
static bool no_shorter(double v, int nd) {
    if (nd <= 1) return true;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", nd - 2, v);
    if (std::strtod(buf, nullptr) == v) return false;
    // Neighbours: adjust the mantissa by one unit in its last place.
    char* e = std::strchr(buf, 'e');
    const int exp = std::atoi(e + 1);
    *e = '\0';
    const double mant = std::strtod(buf, nullptr);
    const double ulp = std::pow(10.0, -(nd - 2));
    for (double m : {mant - ulp, mant + ulp}) {
        char cand[80];
        std::snprintf(cand, sizeof cand, "%.*fe%d", nd - 2, m, exp);
        if (std::strtod(cand, nullptr) == v) return false;
    }
    return true;
}

TEST(JsonNumber, RandomBitPatternsRoundTripWithTheRightNotation) {
    std::mt19937_64 rng(20240305);
    std::size_t finite = 0, plain = 0, expo = 0, subnormal = 0;
    auto check = [&](double v) {
        const std::string s = num(v);
        if (!std::isfinite(v)) {
            ASSERT_EQ(s, "null");
            return;
        }
        ++finite;
        if (std::fpclassify(v) == FP_SUBNORMAL) ++subnormal;
        (s.find('e') == std::string::npos ? plain : expo)++;
        std::string why;
        ASSERT_TRUE(check_notation(s, v, why)) << s << " for bits " << std::hex << to_bits(v) << ": " << why;
        const double back = std::strtod(s.c_str(), nullptr);
        ASSERT_EQ(to_bits(back), to_bits(v)) << s;
        if (v != 0.0) ASSERT_TRUE(no_shorter(v, significant_digits(s))) << s;
    };
    // Uniform bit patterns: every exponent range, NaNs, infinities, subnormals.
    for (int i = 0; i < 1000000; ++i) check(from_bits(rng()));
    // Values around the notation boundaries and typical magnitudes of the record.
    std::uniform_int_distribution<int> exp10(-8, 18);
    std::uniform_real_distribution<double> mant(1.0, 10.0);
    for (int i = 0; i < 200000; ++i) {
        const double v = mant(rng) * std::pow(10.0, exp10(rng));
        check(i % 2 ? v : -v);
    }
    // Short decimals such as CN0 values with three decimals and integral values.
    for (int i = 0; i < 100000; ++i) {
        check(static_cast<double>(rng() % 100000) / 1000.0);
        check(static_cast<double>(static_cast<std::int64_t>(rng() >> 10)) * (i % 2 ? 1.0 : -1.0));
    }
    for (std::uint64_t b : {0x0000000000000001ull, 0x000FFFFFFFFFFFFFull, 0x0010000000000000ull,
                            0x8000000000000000ull, 0x7FEFFFFFFFFFFFFFull})
        check(from_bits(b));
    EXPECT_GT(plain, 100000u);
    EXPECT_GT(expo, 100000u);
    EXPECT_GT(subnormal, 100u);
    EXPECT_GT(finite, 1000000u);
}

TEST(JsonNumber, WrittenDigitsAreShortest) {
    // Short decimals near the 15-digit limit, where a few decimals no longer make a short text.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const double v = static_cast<double>(rng() % 100000000000000000ull) / std::pow(10.0, static_cast<double>(rng() % 4));
        const std::string s = num(v);
        ASSERT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
        if (v != 0.0) ASSERT_TRUE(no_shorter(v, significant_digits(s))) << s;
    }
    for (double v : {0.1, 0.3, 45.25, 1e23, 5e-324, 123.456, 2.0 / 3.0, 41971362410138.368, 99999999999999.99,
                     999999999999.999, 0.001, 0.0005}) {
        const std::string s = num(v);
        EXPECT_TRUE(no_shorter(v, significant_digits(s))) << s;
    }
}

TEST(JsonNumber, AppendsToExistingText) {
    std::string s = "x=";
    append_json_number(s, 2.5);
    append_json_number(s, std::nan(""));
    EXPECT_EQ(s, "x=2.5null");
}

// ------------------------------------------------------------------ whole records

static const char* const kEmptyPretty = R"({
  "file_info": {
    "filename": "",
    "marker_name": "",
    "receiver_type": "",
    "antenna_type": "",
    "start_time": "",
    "end_time": "",
    "duration_hours": 0.0,
    "interval": 0.0,
    "position_lat": 0.0,
    "position_lon": 0.0,
    "position_height": 0.0
  },
  "quality_score": {
    "overall": 0.0,
    "cn0_score": 0.0,
    "coverage_score": 0.0,
    "consistency_score": 0.0,
    "grade": "N/A",
    "interpretation": "No data"
  },
  "summary": {
    "total_observations": 0,
    "total_satellites": 0,
    "total_epochs": 0,
    "systems_observed": [],
    "mean_cn0": 0.0,
    "min_cn0": 0.0,
    "max_cn0": 0.0,
    "anomaly_count": 0,
    "critical_count": 0,
    "high_count": 0,
    "low_count": 0
  },
  "constellation_stats": {},
  "satellite_stats": {},
  "timeseries": {
    "timestamps": [],
    "mean_cn0": [],
    "satellite_count": [],
    "satellite_timeseries": {},
    "constellation_timeseries": {}
  },
  "skyplot": {
    "traces": [],
    "heatmap_points": [],
    "coverage_percent": 0.0
  },
  "heatmap": {
    "azimuth_bins": [],
    "elevation_bins": [],
    "cn0_matrix": [],
    "count_matrix": []
  },
  "anomalies": [],
  "visibility": null
})";

static const char* const kEmptyCompact =
    R"({"file_info":{"filename":"","marker_name":"","receiver_type":"","antenna_type":"","start_time":"",)"
    R"("end_time":"","duration_hours":0.0,"interval":0.0,"position_lat":0.0,"position_lon":0.0,)"
    R"("position_height":0.0},"quality_score":{"overall":0.0,"cn0_score":0.0,"coverage_score":0.0,)"
    R"("consistency_score":0.0,"grade":"N/A","interpretation":"No data"},"summary":{"total_observations":0,)"
    R"("total_satellites":0,"total_epochs":0,"systems_observed":[],"mean_cn0":0.0,"min_cn0":0.0,)"
    R"("max_cn0":0.0,"anomaly_count":0,"critical_count":0,"high_count":0,"low_count":0},)"
    R"("constellation_stats":{},"satellite_stats":{},"timeseries":{"timestamps":[],"mean_cn0":[],)"
    R"("satellite_count":[],"satellite_timeseries":{},"constellation_timeseries":{}},"skyplot":{"traces":[],)"
    R"("heatmap_points":[],"coverage_percent":0.0},"heatmap":{"azimuth_bins":[],"elevation_bins":[],)"
    R"("cn0_matrix":[],"count_matrix":[]},"anomalies":[],"visibility":null})";

TEST(JsonResult, EmptyResultBothForms) {
    const AnalysisResult r;
    EXPECT_EQ(to_json_pretty(r), kEmptyPretty);
    EXPECT_EQ(to_json(r), kEmptyCompact);
}

static AnalysisResult nested_result() {
    AnalysisResult r;
    r.file_info.interval = 30;
    r.summary.systems_observed = {"GPS", "Galileo"};
    r.summary.mean_cn0 = std::nan("");
    r.summary.total_observations = 18446744073709551615ull;
    // Inserted out of order: written in key order.
    r.constellation_stats["GPS"].system = "GPS";
    r.constellation_stats["Galileo"].system = "Galileo";
    r.constellation_stats["BeiDou"].system = "BeiDou";
    r.timeseries.constellation_timeseries["GPS"] = {CN0Point{"2024-03-05T07:09:03.500Z", 45.25, 45.0, 0.0}};
    r.timeseries.constellation_timeseries["GLONASS"] = {};
    r.heatmap.azimuth_bins = {0.0, 10.0};
    r.heatmap.cn0_matrix = {{41.5, std::numeric_limits<double>::infinity()}, {}};
    r.heatmap.count_matrix = {{3, 0}};
    r.skyplot.coverage_percent = 100;
    VisibilityResult v;
    v.has_prediction = true;
    v.prediction_source = "broadcast";
    v.frequently_missing = {"G07"};
    v.by_system["GPS"] = VisibilitySystemStats{"GPS", 9, 8, 0.875, {"G07"}, {}};
    r.visibility = v;
    return r;
}

TEST(JsonResult, NestedContainersIndented) {
    const AnalysisResult r = nested_result();
    const std::string p = to_json_pretty(r);
    EXPECT_NE(p.find("\n  \"constellation_stats\": {\n    \"BeiDou\": {\n      \"system\": \"BeiDou\",\n"), std::string::npos) << p;
    EXPECT_LT(p.find("\"BeiDou\": {"), p.find("\"GPS\": {"));
    EXPECT_LT(p.find("\"GPS\": {"), p.find("\"Galileo\": {"));
    EXPECT_NE(p.find(R"(
    "constellation_timeseries": {
      "GLONASS": [],
      "GPS": [
        {
          "timestamp": "2024-03-05T07:09:03.500Z",
          "cn0": 45.25,
          "elevation": 45.0,
          "azimuth": 0.0
        }
      ]
    }
  },
)"),
              std::string::npos)
        << p;
    EXPECT_NE(p.find(R"(
  "heatmap": {
    "azimuth_bins": [
      0.0,
      10.0
    ],
    "elevation_bins": [],
    "cn0_matrix": [
      [
        41.5,
        null
      ],
      []
    ],
    "count_matrix": [
      [
        3,
        0
      ]
    ]
  },
  "anomalies": [],
)"),
              std::string::npos)
        << p;
    const char* tail = R"(
  "visibility": {
    "has_prediction": true,
    "prediction_source": "broadcast",
    "confirmation_rate": 0.0,
    "mean_predicted": 0.0,
    "mean_observed": 0.0,
    "mean_missing": 0.0,
    "mean_unexpected": 0.0,
    "frequently_missing": [
      "G07"
    ],
    "frequently_unexpected": [],
    "by_system": {
      "GPS": {
        "system": "GPS",
        "predicted_satellites": 9,
        "observed_satellites": 8,
        "confirmation_rate": 0.875,
        "missing_satellites": [
          "G07"
        ],
        "unexpected_satellites": []
      }
    },
    "anomalies": []
  }
})";
    ASSERT_GE(p.size(), std::strlen(tail));
    EXPECT_EQ(p.substr(p.size() - std::strlen(tail)), tail);
    EXPECT_NE(p.find("\n    \"mean_cn0\": null,\n"), std::string::npos);
    EXPECT_NE(p.find("\n    \"total_observations\": 18446744073709551615,\n"), std::string::npos);
    EXPECT_NE(p.find("\n    \"interval\": 30.0,\n"), std::string::npos);
    EXPECT_NE(p.find("\n    \"coverage_percent\": 100.0\n"), std::string::npos);
}

TEST(JsonResult, CompactIsIndentedWithoutLayout) {
    const AnalysisResult r = nested_result();
    const std::string c = to_json(r);
    EXPECT_EQ(c.find('\n'), std::string::npos);
    EXPECT_EQ(strip_layout(to_json_pretty(r)), c);
    EXPECT_NE(c.find(R"("mean_cn0":null,)"), std::string::npos);
    EXPECT_NE(c.find(R"("cn0_matrix":[[41.5,null],[]],"count_matrix":[[3,0]]})"), std::string::npos);
    EXPECT_NE(c.find(R"("constellation_timeseries":{"GLONASS":[],"GPS":[{"timestamp":"2024-03-05T07:09:03.500Z","cn0":45.25,"elevation":45.0,"azimuth":0.0}]}})"),
              std::string::npos);
    EXPECT_TRUE(c.ends_with(R"("anomalies":[]}})"));
    // Same record, same bytes.
    EXPECT_EQ(to_json(nested_result()), c);
}

TEST(JsonResult, AbsentVisibilityEndsWithNull) {
    AnalysisResult r;
    r.summary.mean_cn0 = std::nan("");
    const std::string c = to_json(r);
    const std::string p = to_json_pretty(r);
    EXPECT_TRUE(c.ends_with(",\"anomalies\":[],\"visibility\":null}"));
    EXPECT_TRUE(p.ends_with("\n  \"anomalies\": [],\n  \"visibility\": null\n}"));
    EXPECT_NE(c.find("\"mean_cn0\":null,\"min_cn0\""), std::string::npos);
    EXPECT_NE(p.find("\"mean_cn0\": null,\n"), std::string::npos);
}

TEST(JsonResult, StringEscapes) {
    AnalysisResult r;
    r.file_info.marker_name = std::string("a\"b\\c\bd\te\nf\fg\rh") + '\0' + "\x01\x1b\x1f\x7f/ \xc3\xa9\xe2\x82\xac";
    r.file_info.receiver_type = "\xf0\x9f\x9b\xb0 K\xc3\xb6ln";
    r.satellite_stats["G\"1"].satellite = "G\"1";
    const std::string expected_marker =
        R"("marker_name":"a\"b\\c\bd\te\nf\fg\rh\u0000\u0001\u001b\u001f)"
        "\x7f/ \xc3\xa9\xe2\x82\xac\"";
    const std::string c = to_json(r);
    EXPECT_NE(c.find(expected_marker), std::string::npos) << c;
    EXPECT_NE(c.find("\"receiver_type\":\"\xf0\x9f\x9b\xb0 K\xc3\xb6ln\""), std::string::npos);
    EXPECT_NE(c.find(R"("satellite_stats":{"G\"1":{"satellite":"G\"1",)"), std::string::npos);
    const std::string p = to_json_pretty(r);
    EXPECT_NE(p.find("\"marker_name\": \"a\\\"b\\\\c\\bd\\te\\nf\\fg\\rh\\u0000"), std::string::npos);
    // Escaped new lines are not layout: the pretty text has exactly one line per member.
    EXPECT_EQ(strip_layout(p), c);
}

TEST(JsonResult, LongTextsAndManyValuesGrowTheBuffer) {
    AnalysisResult r;
    r.file_info.marker_name = std::string(100000, '\n');  // six-fold growth when escaped
    r.timeseries.mean_cn0.assign(50000, -1.2345678901234568e-300);
    const std::string c = to_json(r);
    std::string expected_marker = "\"marker_name\":\"";
    for (int i = 0; i < 100000; ++i) expected_marker += "\\n";
    expected_marker += '"';
    EXPECT_NE(c.find(expected_marker), std::string::npos);
    const std::size_t a = c.find("\"mean_cn0\":[");
    ASSERT_NE(a, std::string::npos);
    const std::string one = "-1.2345678901234568e-300";
    EXPECT_EQ(c.compare(a + 12, one.size() + 1, one + ","), 0);
    EXPECT_EQ(strip_layout(to_json_pretty(r)), c);
}

// ------------------------------------------------------------------ configuration record

TEST(AnalysisConfigRecord, ConstructionRules) {
    const AnalysisConfig d = make_analysis_config({});
    EXPECT_EQ(d.anomaly_threshold_low, 2.25);
    EXPECT_EQ(d.anomaly_threshold_high, 4.5);
    EXPECT_EQ(d.anomaly_threshold_critical, 6.0);
    EXPECT_EQ(d.time_bin_seconds, 60u);
    EXPECT_FALSE(d.systems.has_value());
    // The default record is the record of default arguments.
    const AnalysisConfig z;
    EXPECT_EQ(z.anomaly_threshold_low, d.anomaly_threshold_low);
    EXPECT_EQ(z.anomaly_threshold_high, d.anomaly_threshold_high);
    EXPECT_EQ(z.anomaly_threshold_critical, d.anomaly_threshold_critical);

    AnalysisConfigArgs a;
    a.time_bin = 30;
    EXPECT_EQ(make_analysis_config(a).time_bin_seconds, 30u);
    a.time_bin_seconds = 15;
    EXPECT_EQ(make_analysis_config(a).time_bin_seconds, 15u);
    a.time_bin_seconds = 0;
    EXPECT_EQ(make_analysis_config(a).time_bin_seconds, 0u);

    AnalysisConfigArgs s;
    s.anomaly_sensitivity = -1.0;  // factor 1.5
    s.anomaly_threshold_low = 4.0;
    s.anomaly_threshold_high = 8.0;
    s.anomaly_threshold_critical = 12.0;
    s.interference_threshold_db = 8.0;
    const AnalysisConfig c = make_analysis_config(s);
    EXPECT_EQ(c.anomaly_threshold_low, 6.0);
    EXPECT_EQ(c.anomaly_threshold_high, 12.0);
    EXPECT_EQ(c.anomaly_threshold_critical, 8.0);
    EXPECT_EQ(c.interference_threshold_db, 8.0);
    EXPECT_EQ(c.anomaly_sensitivity, -1.0);
}

TEST(AnalysisConfigRecord, SystemLetters) {
    EXPECT_EQ(system_letters(std::nullopt), (std::vector<char>{'G', 'R', 'E', 'C'}));
    EXPECT_EQ(system_letters(std::vector<std::string>{}), std::vector<char>{});
    EXPECT_EQ(system_letters(std::vector<std::string>{"G", "", "Galileo", "J"}), (std::vector<char>{'G', 'G', 'J'}));
}

// Series timestamps are kept inline up to 30 bytes and on the heap beyond; both kinds, and escapes,
// come out the same in JSON and through the binary state.
TEST(ResultState, SeriesTimestampsOfEveryLengthRoundTrip) {
    AnalysisResult r = nested_result();
    auto& gps = r.timeseries.constellation_timeseries["GPS"];
    const std::string long_stamp = "+123456789-12-31T23:59:59.999Z and more";
    gps.push_back(CN0Point{long_stamp, 40.0, 10.0, 20.0});
    gps.push_back(CN0Point{"q\"\\", 41.0, 11.0, 21.0});
    const std::string json = to_json(r);
    EXPECT_NE(json.find(R"({"timestamp":"+123456789-12-31T23:59:59.999Z and more","cn0":40.0,)"), std::string::npos);
    EXPECT_NE(json.find(R"({"timestamp":"q\"\\","cn0":41.0,)"), std::string::npos);

    auto back = decode_result_state(encode_state(r));
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(to_json(*back), json);
    EXPECT_EQ(back->timeseries.constellation_timeseries.at("GPS").at(1).timestamp, long_stamp);
    EXPECT_EQ(encode_state(*back), encode_state(r));

    // A timestamp that is not UTF-8 is refused like any other text of the state.
    gps.back().timestamp = "\xff\xfe";
    auto bad = decode_result_state(encode_state(r));
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().find("not valid UTF-8"), std::string::npos) << bad.error();
}
