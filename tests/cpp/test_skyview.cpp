// Sky views: per-satellite traces, occupied cells and coverage, and the fixed heatmap grids.
// Cells are 10 degrees of azimuth by 5 of elevation; the expected cells below are worked out by
// hand from the angles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cn0/analysis_steps.hpp"
#include "cn0/points.hpp"
#include "cn0/result.hpp"

using namespace tessora;

namespace {

struct Sky {
    RinexObsData obs;
    PointSet set;

    explicit Sky(std::vector<std::string> satellites) {
        obs.satellite_names = std::move(satellites);
        obs.code_names = {"S1C", "S2W"};
        set.obs = &obs;
        set.times = {"2024-03-05T00:00:00.000Z", "2024-03-05T00:00:30.000Z"};
    }
    void add(std::uint32_t time, std::uint32_t sat, std::uint32_t signal, double cn0, double elevation,
             double azimuth) {
        ObservationPoint p;
        p.time = time;
        p.satellite = sat;
        p.signal = signal;
        p.system = "GPS";
        p.cn0 = cn0;
        p.elevation = elevation;
        p.azimuth = azimuth;
        set.points.push_back(p);
    }
    AnalysisResult run() const {
        AnalysisResult r;
        build_sky_views(set, r);
        return r;
    }
};

std::uint64_t total_count(const Heatmap& h) {
    std::uint64_t n = 0;
    for (const auto& row : h.count_matrix)
        for (const auto c : row) n += c;
    return n;
}

}  // namespace

TEST(SkyView, WithoutNavigationEverythingSitsInOneCell) {
    // Without look angles every point is at elevation 45, azimuth 0: cell (0, 9).
    Sky s({"G01", "E05", "R10"});
    s.add(0, 0, 0, 40.0, 45.0, 0.0);
    s.add(0, 1, 0, 42.0, 45.0, 0.0);
    s.add(1, 2, 1, 47.0, 45.0, 0.0);
    const AnalysisResult r = s.run();

    ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
    const HeatmapPoint& hp = r.skyplot.heatmap_points[0];
    EXPECT_EQ(hp.azimuth_bin, 5.0);
    EXPECT_EQ(hp.elevation_bin, 47.5);
    EXPECT_EQ(hp.count, 3u);
    EXPECT_DOUBLE_EQ(hp.mean_cn0, 43.0);
    EXPECT_NEAR(r.skyplot.coverage_percent, 0.154320987654321, 1e-15);

    ASSERT_EQ(r.heatmap.count_matrix.size(), 18u);
    ASSERT_EQ(r.heatmap.cn0_matrix.size(), 18u);
    for (int j = 0; j < 18; ++j) {
        ASSERT_EQ(r.heatmap.count_matrix[j].size(), 36u);
        ASSERT_EQ(r.heatmap.cn0_matrix[j].size(), 36u);
        for (int i = 0; i < 36; ++i) {
            const bool cell = j == 9 && i == 0;
            EXPECT_EQ(r.heatmap.count_matrix[j][i], cell ? 3u : 0u) << j << "," << i;
            EXPECT_EQ(r.heatmap.cn0_matrix[j][i], cell ? 43.0 : 0.0) << j << "," << i;
        }
    }
}

TEST(SkyView, BinCentres) {
    Sky s({"G01"});
    s.add(0, 0, 0, 40.0, 30.0, 100.0);
    const AnalysisResult r = s.run();
    ASSERT_EQ(r.heatmap.azimuth_bins.size(), 36u);
    ASSERT_EQ(r.heatmap.elevation_bins.size(), 18u);
    EXPECT_EQ(r.heatmap.azimuth_bins.front(), 5.0);
    EXPECT_EQ(r.heatmap.azimuth_bins[17], 175.0);
    EXPECT_EQ(r.heatmap.azimuth_bins.back(), 355.0);
    EXPECT_EQ(r.heatmap.elevation_bins.front(), 2.5);
    EXPECT_EQ(r.heatmap.elevation_bins[9], 47.5);
    EXPECT_EQ(r.heatmap.elevation_bins.back(), 87.5);
}

TEST(SkyView, TwoPointsInOneCellAverage) {
    // 123 / 10 -> column 12, 31 / 5 and 34.9 / 5 -> row 6.
    Sky s({"G01", "G02"});
    s.add(0, 0, 0, 40.0, 31.0, 123.0);
    s.add(0, 1, 0, 44.0, 34.9, 129.9);
    const AnalysisResult r = s.run();
    ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
    EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 125.0);
    EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, 32.5);
    EXPECT_EQ(r.skyplot.heatmap_points[0].mean_cn0, 42.0);
    EXPECT_EQ(r.skyplot.heatmap_points[0].count, 2u);
    EXPECT_EQ(r.heatmap.cn0_matrix[6][12], 42.0);
    EXPECT_EQ(r.heatmap.count_matrix[6][12], 2u);
    EXPECT_EQ(total_count(r.heatmap), 2u);
}

TEST(SkyView, GridEdges) {
    // Zenith: elevation 90 forms cell (12, 18) but the matrices put it in the last row.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 50.0, 90.0, 123.0);
        const AnalysisResult r = s.run();
        ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
        EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 125.0);
        EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, 92.5);
        EXPECT_EQ(r.heatmap.count_matrix[17][12], 1u);
        EXPECT_EQ(r.heatmap.cn0_matrix[17][12], 50.0);
        EXPECT_EQ(total_count(r.heatmap), 1u);
    }
    // A zenith point next to one in row 17 proper: two cells for coverage, one matrix cell.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 50.0, 90.0, 123.0);
        s.add(1, 0, 0, 40.0, 87.0, 123.0);
        const AnalysisResult r = s.run();
        EXPECT_EQ(r.skyplot.heatmap_points.size(), 2u);
        EXPECT_NEAR(r.skyplot.coverage_percent, 200.0 / 648.0, 1e-13);
        EXPECT_EQ(r.heatmap.count_matrix[17][12], 2u);
        EXPECT_EQ(r.heatmap.cn0_matrix[17][12], 45.0);
    }
    // Azimuth 359.9: column 35 and cell 35.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 38.0, 12.0, 359.9);
        const AnalysisResult r = s.run();
        ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
        EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 355.0);
        EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, 12.5);
        EXPECT_EQ(r.heatmap.count_matrix[2][35], 1u);
    }
}

TEST(SkyView, OutOfRangeAnglesSaturate) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double big = 2147483647.0;  // largest signed 32-bit cell index
    // +infinity azimuth: cell index saturates, matrix column clamps to the last one.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 41.0, 20.0, inf);
        const AnalysisResult r = s.run();
        ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
        EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 10.0 * big + 5.0);
        EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, 22.5);
        EXPECT_EQ(r.heatmap.count_matrix[4][35], 1u);
        EXPECT_EQ(r.heatmap.cn0_matrix[4][35], 41.0);
    }
    // NaN angles: cell (0, 0) and the first matrix cell.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 33.0, nan, nan);
        const AnalysisResult r = s.run();
        ASSERT_EQ(r.skyplot.heatmap_points.size(), 1u);
        EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 5.0);
        EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, 2.5);
        EXPECT_EQ(r.heatmap.count_matrix[0][0], 1u);
        EXPECT_EQ(r.heatmap.cn0_matrix[0][0], 33.0);
    }
    // Negative angles keep their own (negative) cells but land in the first column / row; an
    // elevation of -infinity saturates at the smallest index.
    {
        Sky s({"G01"});
        s.add(0, 0, 0, 30.0, -2.0, -15.0);  // floor(-1.5) = -2, floor(-0.4) = -1
        s.add(1, 0, 0, 32.0, -inf, 15.0);
        const AnalysisResult r = s.run();
        ASSERT_EQ(r.skyplot.heatmap_points.size(), 2u);
        // Sorted by cell: (-2, -1) before (1, INT32_MIN).
        EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, -15.0);
        EXPECT_EQ(r.skyplot.heatmap_points[0].elevation_bin, -2.5);
        EXPECT_EQ(r.skyplot.heatmap_points[1].azimuth_bin, 15.0);
        EXPECT_EQ(r.skyplot.heatmap_points[1].elevation_bin, 5.0 * -2147483648.0 + 2.5);
        EXPECT_EQ(r.heatmap.count_matrix[0][0], 1u);
        EXPECT_EQ(r.heatmap.count_matrix[0][1], 1u);
        EXPECT_NEAR(r.skyplot.coverage_percent, 200.0 / 648.0, 1e-13);
    }
}

TEST(SkyView, TracesPerSatelliteSortedWithTheirSystems) {
    // Identifiers interned in an order different from their text order.
    Sky s({"R07", "G01", "J02", "C05", "E11", "S20", "I03", ""});
    for (std::uint32_t k = 0; k < 8; ++k) s.add(0, k, 0, 30.0 + k, 10.0 + k, 100.0 + k);
    const AnalysisResult r = s.run();
    const std::vector<std::pair<std::string, std::string>> want = {
        {"", "GPS"},      {"C05", "BeiDou"}, {"E11", "Galileo"}, {"G01", "GPS"},
        {"I03", "Other"}, {"J02", "Other"},  {"R07", "GLONASS"}, {"S20", "Other"}};
    ASSERT_EQ(r.skyplot.traces.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(r.skyplot.traces[k].satellite, want[k].first);
        EXPECT_EQ(r.skyplot.traces[k].system, want[k].second);
        ASSERT_EQ(r.skyplot.traces[k].points.size(), 1u);
        EXPECT_EQ(r.skyplot.traces[k].points[0].satellite, want[k].first);
    }
    // C05 was added as the fourth satellite: CN0 33, elevation 13, azimuth 103.
    EXPECT_EQ(r.skyplot.traces[1].points[0].cn0, 33.0);
    EXPECT_EQ(r.skyplot.traces[1].points[0].elevation, 13.0);
    EXPECT_EQ(r.skyplot.traces[1].points[0].azimuth, 103.0);
}

TEST(SkyView, TracePointsKeepAcceptanceOrderOneEntryPerSignal) {
    Sky s({"G05", "G02"});
    s.add(0, 0, 0, 40.0, 20.0, 50.0);
    s.add(0, 0, 1, 35.0, 20.0, 50.0);
    s.add(0, 1, 0, 44.0, 60.0, 200.0);
    s.add(1, 0, 0, 41.0, 21.0, 51.0);
    s.add(1, 0, 1, 36.0, 21.0, 51.0);
    const AnalysisResult r = s.run();
    ASSERT_EQ(r.skyplot.traces.size(), 2u);
    EXPECT_EQ(r.skyplot.traces[0].satellite, "G02");
    const auto& g05 = r.skyplot.traces[1].points;
    ASSERT_EQ(g05.size(), 4u);
    const double want_cn0[] = {40.0, 35.0, 41.0, 36.0};
    const double want_el[] = {20.0, 20.0, 21.0, 21.0};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(g05[k].cn0, want_cn0[k]);
        EXPECT_EQ(g05[k].elevation, want_el[k]);
        EXPECT_EQ(g05[k].satellite, "G05");
    }
    // Cells (5, 4) with 40, 35, 41, 36 and (20, 12) with 44; sorted by cell.
    ASSERT_EQ(r.skyplot.heatmap_points.size(), 2u);
    EXPECT_EQ(r.skyplot.heatmap_points[0].azimuth_bin, 55.0);
    EXPECT_EQ(r.skyplot.heatmap_points[0].mean_cn0, 38.0);
    EXPECT_EQ(r.skyplot.heatmap_points[0].count, 4u);
    EXPECT_EQ(r.skyplot.heatmap_points[1].azimuth_bin, 205.0);
    EXPECT_EQ(r.skyplot.heatmap_points[1].elevation_bin, 62.5);
}
