// Sky views of an analysis: per-satellite skyplot traces, the occupied azimuth/elevation cells
// with their mean CN0 and the share of the sky they cover, and the fixed 18 x 36 heatmap grids.
//
// Cells are 10 degrees of azimuth by 5 degrees of elevation; the 36 x 18 = 648 cells of the
// hemisphere above the horizon make up the whole sky.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cn0/analysis_steps.hpp"
#include "common/constellation.hpp"
#include "common/numbers.hpp"

namespace tessora {
namespace {

constexpr std::size_t kAzimuthColumns = 36;
constexpr std::size_t kElevationRows = 18;
constexpr double kSkyCells = 648.0;

void build_traces(const PointSet& points, Skyplot& skyplot) {
    // Points per satellite index, in acceptance order; the traces are then ordered by the
    // identifier text (indices are interned texts, so one index is one identifier).
    std::map<std::uint32_t, std::vector<std::size_t>> by_satellite;
    for (std::size_t k = 0; k < points.points.size(); ++k)
        by_satellite[points.points[k].satellite].push_back(k);

    std::vector<std::pair<const std::string*, const std::vector<std::size_t>*>> order;
    order.reserve(by_satellite.size());
    for (const auto& [sat, members] : by_satellite)
        order.emplace_back(&points.obs->satellite_names[sat], &members);
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return *a.first < *b.first; });

    skyplot.traces.clear();
    skyplot.traces.reserve(order.size());
    for (const auto& [name, members] : order) {
        SkyplotTrace trace;
        trace.satellite = *name;
        // A satellite without identifier is taken as GPS.
        trace.system = trace_name(name->empty() ? Constellation::gps : constellation_of((*name)[0]));
        trace.points.reserve(members->size());
        for (const std::size_t k : *members) {
            const ObservationPoint& p = points.points[k];
            SkyplotPoint sp;
            sp.azimuth = p.azimuth;
            sp.elevation = p.elevation;
            sp.cn0 = p.cn0;
            sp.satellite = *name;
            trace.points.push_back(std::move(sp));
        }
        skyplot.traces.push_back(std::move(trace));
    }
}

void build_cells(const PointSet& points, Skyplot& skyplot) {
    // Cell indices are kept unbounded here: an elevation of exactly 90 degrees forms row 18, and
    // out-of-range angles keep their own (saturated) cells.
    struct Cell {
        double sum = 0.0;
        std::uint64_t count = 0;
    };
    std::map<std::pair<std::int32_t, std::int32_t>, Cell> cells;
    for (const ObservationPoint& p : points.points) {
        const auto i = saturating_cast<std::int32_t>(std::floor(p.azimuth / 10.0));
        const auto j = saturating_cast<std::int32_t>(std::floor(p.elevation / 5.0));
        Cell& c = cells[{i, j}];
        c.sum += p.cn0;
        ++c.count;
    }

    skyplot.heatmap_points.clear();
    skyplot.heatmap_points.reserve(cells.size());
    for (const auto& [key, c] : cells) {
        HeatmapPoint hp;
        hp.azimuth_bin = 10.0 * static_cast<double>(key.first) + 5.0;
        hp.elevation_bin = 5.0 * static_cast<double>(key.second) + 2.5;
        hp.mean_cn0 = c.sum / static_cast<double>(c.count);
        hp.count = c.count;
        skyplot.heatmap_points.push_back(hp);
    }
    skyplot.coverage_percent = static_cast<double>(cells.size()) / kSkyCells * 100.0;
}

void build_matrices(const PointSet& points, Heatmap& heatmap) {
    std::vector<std::vector<double>> sums(kElevationRows, std::vector<double>(kAzimuthColumns, 0.0));
    std::vector<std::vector<std::uint64_t>> counts(kElevationRows,
                                                   std::vector<std::uint64_t>(kAzimuthColumns, 0));
    for (const ObservationPoint& p : points.points) {
        // Negative angles and NaN go to the first column/row; anything past the grid (azimuth
        // 360 and above, elevation 90 and above) to the last.
        const std::uint64_t col = std::min<std::uint64_t>(
            saturating_cast<std::uint64_t>(std::floor(p.azimuth / 10.0)), kAzimuthColumns - 1);
        const std::uint64_t row = std::min<std::uint64_t>(
            saturating_cast<std::uint64_t>(std::floor(p.elevation / 5.0)), kElevationRows - 1);
        sums[row][col] += p.cn0;
        ++counts[row][col];
    }

    heatmap.azimuth_bins.resize(kAzimuthColumns);
    for (std::size_t i = 0; i < kAzimuthColumns; ++i)
        heatmap.azimuth_bins[i] = 10.0 * static_cast<double>(i) + 5.0;
    heatmap.elevation_bins.resize(kElevationRows);
    for (std::size_t j = 0; j < kElevationRows; ++j)
        heatmap.elevation_bins[j] = 5.0 * static_cast<double>(j) + 2.5;

    for (std::size_t j = 0; j < kElevationRows; ++j)
        for (std::size_t i = 0; i < kAzimuthColumns; ++i)
            sums[j][i] = counts[j][i] > 0 ? sums[j][i] / static_cast<double>(counts[j][i]) : 0.0;
    heatmap.cn0_matrix = std::move(sums);
    heatmap.count_matrix = std::move(counts);
}

}  // namespace

void build_sky_views(const PointSet& points, AnalysisResult& result) {
    build_traces(points, result.skyplot);
    build_cells(points, result.skyplot);
    build_matrices(points, result.heatmap);
}

}  // namespace tessora
