// Fuzz target for the RINEX observation reader and the summaries built on its record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <memory>

#include "columns/arrow_export.hpp"
#include "columns/obs_tables.hpp"
#include "rinex/obs_reader.hpp"
#include "rinex/obs_summary.hpp"
#include "common/text.hpp"

namespace {

// Checks invariants every record must satisfy; aborts (a fuzzer finding) when one fails.
void check(const tessora::RinexObsData& rec) {
    for (const auto& e : rec.epochs) {
        if (e.sat_count == 0) __builtin_trap();
        for (auto* s = rec.sats_begin(e); s != rec.sats_end(e); ++s) {
            if (s->obs_count == 0) __builtin_trap();
            for (std::uint32_t i = s->obs_begin; i < s->obs_begin + s->obs_count; ++i) {
                if (rec.obs_values[i] == 0.0) __builtin_trap();
                if (!tessora::is_valid_utf8(rec.code_name(i))) __builtin_trap();
            }
            if (!tessora::is_valid_utf8(rec.sat_name(*s))) __builtin_trap();
        }
    }
    if (!tessora::is_valid_utf8(rec.marker_name) || !tessora::is_valid_utf8(rec.receiver_type) ||
        !tessora::is_valid_utf8(rec.antenna_type))
        __builtin_trap();
    (void)tessora::snr_stats_by_satellite(rec);
    (void)tessora::debug_info(rec);
    (void)tessora::snr_availability(rec);
    (void)tessora::obs_repr(rec);
}

// Exports both table layouts of the record through the Arrow C stream as a consumer would read
// it: schema, one batch, the dictionary and list children checked against their offsets, a child
// moved out and released on its own, then everything else.
void check_tables(const tessora::RinexObsData& rec) {
    auto shared = std::make_shared<const tessora::RinexObsData>(rec);
    for (auto layout : {tessora::ObsLayout::Long, tessora::ObsLayout::Wide}) {
        std::shared_ptr<const tessora::Table> table;
        try {
            table = tessora::observation_table(shared, layout);
        } catch (const std::length_error&) {
            continue;  // a pivot too large for the observations behind it is refused
        }
        ArrowArrayStream stream;
        tessora::export_stream(table, &stream);
        table.reset();
        ArrowSchema schema;
        ArrowArray batch;
        if (stream.get_schema(&stream, &schema) != 0 || stream.get_next(&stream, &batch) != 0) __builtin_trap();
        if (batch.n_children != schema.n_children) __builtin_trap();
        for (std::int64_t c = 0; c < batch.n_children; ++c) {
            const ArrowArray* col = batch.children[c];
            if (col->length != batch.length) __builtin_trap();
            if (col->dictionary) {  // indices within the dictionary
                const auto* idx = static_cast<const std::int32_t*>(col->buffers[1]);
                for (std::int64_t i = 0; i < col->length; ++i)
                    if (idx[i] < 0 || idx[i] >= col->dictionary->length) __builtin_trap();
            }
        }
        ArrowArray moved = *batch.children[0];  // the consumer takes the first column
        batch.children[0]->release = nullptr;
        batch.release(&batch);
        moved.release(&moved);
        ArrowArray end;
        if (stream.get_next(&stream, &end) != 0 || end.release != nullptr) __builtin_trap();
        schema.release(&schema);
        stream.release(&stream);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rec = tessora::read_rinex_obs(bytes, "fuzz.obs");
    if (rec) {
        check(rec.value());
        check_tables(rec.value());
    }
    return 0;
}

std::vector<std::string> fuzz_seeds() {
    const std::string h3 =
        "     3.04           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "TEST                                                        MARKER NAME\n"
        "1234                SEPT POLARX5        5.2.0               REC # / TYPE / VERS\n"
        "5678                TRM59800.00     NONE                    ANT # / TYPE\n"
        "  3582105.2910   532589.7313  5232754.8054                  APPROX POSITION XYZ\n"
        "G    8 C1C L1C D1C S1C C2W L2W S2W S5Q                      SYS / # / OBS TYPES\n"
        "R    4 C1C L1C S1C S2P                                      SYS / # / OBS TYPES\n"
        "E   14 C1C L1C D1C S1C C5Q L5Q D5Q S5Q C7Q L7Q D7Q S7Q C8Q  SYS / # / OBS TYPES\n"
        "       S8Q                                                  SYS / # / OBS TYPES\n"
        "    30.000                                                  INTERVAL\n"
        " 23 R01  1 R02 -4 R03  5 R04  6 R05  1 R06 -4 R07  5 R08  6 GLONASS SLOT / FRQ #\n"
        "                                                            END OF HEADER\n";
    const std::string d3 =
        "> 2020 06 25 00 00  0.0000000  0  3\n"
        "G01  20000000.123 7 100000000.12345      -123.456 7        45.250    20000001.000 5  100000001.000 5        38.500          40.0\n"
        "R07  21000000.000    110000000.000 6        44.000          39.000\n"
        "E 5  23000000.000    120000000.000          1234.000          47.000\n"
        "> 2020 06 25 00 00 30.0000000  0  2\n"
        "G01  20000300.123 7 100000300.12345      -123.456 7        45.500\n"
        "G02  20000000.000\n";
    const std::string h2 =
        "     2.11           OBSERVATION DATA    M (MIXED)           RINEX VERSION / TYPE\n"
        "SITE                                                        MARKER NAME\n"
        "     6    C1    L1    L2    P2    S1    S2                  # / TYPES OF OBSERV\n"
        "    30.0000                                                 INTERVAL\n"
        "                                                            END OF HEADER\n";
    const std::string d2 =
        " 20  6 25  0  0  0.0000000  0 14G01G02R03E04 5G 6G07G08G09G10G11G12\n"
        "                                G13G14\n"
        "  20000000.123   100000000.123    80000000.123    20000001.000        45.000\n"
        "        40.000\n"
        "  20000000.123   100000000.123                                        44.000\n"
        "        39.000\n";
    return {h3 + d3, h2 + d2, h3, h2, h3 + d2, h2 + d3};
}
