#include "rtcm/signals.hpp"

namespace tessora::rtcm {

namespace {

using SignalTable = const char* [32];

// Signal masks number the signals 1..32 from the mask's most significant bit; entry id-1.
constexpr SignalTable kGps = {nullptr, "1C", "1P",    "1W",    nullptr, nullptr, nullptr, "2C",
                              "2P",    "2W", nullptr, nullptr, nullptr, nullptr, "2S",    "2L",
                              "2X",    nullptr, nullptr, nullptr, nullptr, "5I", "5Q",    "5X",
                              nullptr, nullptr, nullptr, nullptr, nullptr, "1S", "1L",    "1X"};
constexpr SignalTable kGlonass = {nullptr, "1C",    "1P",    nullptr, nullptr, nullptr, nullptr, "2C",
                                  "2P",    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr SignalTable kGalileo = {nullptr, "1C", "1A", "1B",    "1X",    "1Z",    nullptr, "6C",
                                  "6A",    "6B", "6X", "6Z",    nullptr, "7I",    "7Q",    "7X",
                                  nullptr, "8I", "8Q", "8X",    nullptr, "5I",    "5Q",    "5X",
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr SignalTable kSbas = {nullptr, "1C",    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr, "5I",    "5Q",    "5X",
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr SignalTable kQzss = {nullptr, "1C", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               "6S",    "6L", "6X",    nullptr, nullptr, nullptr, "2S",    "2L",
                               "2X",    nullptr, nullptr, nullptr, nullptr, "5I", "5Q",    "5X",
                               nullptr, nullptr, nullptr, nullptr, nullptr, "1S", "1L",    "1X"};
constexpr SignalTable kBeidou = {nullptr, "2I", "2Q", "2X",    nullptr, nullptr, nullptr, "6I",
                                 "6Q",    "6X", nullptr, nullptr, nullptr, "7I", "7Q",    "7X",
                                 nullptr, nullptr, nullptr, nullptr, nullptr, "5D", "5P", "5X",
                                 "7D",    nullptr, nullptr, nullptr, nullptr, "1D", "1P", "1X"};
constexpr SignalTable kNavic = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, "5A",    nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr double kL1 = 1575.42e6, kL2 = 1227.60e6, kL5 = 1176.45e6, kE5b = 1207.14e6, kE5 = 1191.795e6,
                 kE6 = 1278.75e6, kB1I = 1561.098e6, kB3 = 1268.52e6, kS = 2492.028e6;

}  // namespace

char msm_system(int type) {
    if (type < 1071 || type > 1137) return 0;
    const int digit = (type - 1070) % 10;  // 1..7 for MSM1..MSM7
    if (digit < 1 || digit > 7) return 0;
    switch ((type - 1071) / 10) {
        case 0: return 'G';
        case 1: return 'R';
        case 2: return 'E';
        case 3: return 'S';
        case 4: return 'J';
        case 5: return 'C';
        case 6: return 'I';
        default: return 0;
    }
}

const char* msm_signal_code(char system, unsigned id) {
    if (id < 1 || id > 32) return nullptr;
    switch (system) {
        case 'G': return kGps[id - 1];
        case 'R': return kGlonass[id - 1];
        case 'E': return kGalileo[id - 1];
        case 'S': return kSbas[id - 1];
        case 'J': return kQzss[id - 1];
        case 'C': return kBeidou[id - 1];
        case 'I': return kNavic[id - 1];
        default: return nullptr;
    }
}

std::string satellite_id(char system, unsigned number) {
    if (system == 'S') number += 19;  // MSM 1 = PRN 120 = "S20"
    if (number >= 100) {
        std::string s(1, system);
        s += std::to_string(number);
        return s;
    }
    const char s[3] = {system, static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10)};
    return std::string(s, 3);
}

std::optional<double> carrier_hz(char system, char band, int glonass_channel) {
    switch (system) {
        case 'G':
        case 'J':
        case 'S':
            if (band == '1') return kL1;
            if (band == '2') return kL2;
            if (band == '5') return kL5;
            if (band == '6' && system == 'J') return kE6;
            return std::nullopt;
        case 'R':
            if (glonass_channel < -7 || glonass_channel > 13) return std::nullopt;
            if (band == '1') return 1602.0e6 + 0.5625e6 * glonass_channel;
            if (band == '2') return 1246.0e6 + 0.4375e6 * glonass_channel;
            return std::nullopt;
        case 'E':
            if (band == '1') return kL1;
            if (band == '5') return kL5;
            if (band == '6') return kE6;
            if (band == '7') return kE5b;
            if (band == '8') return kE5;
            return std::nullopt;
        case 'C':
            if (band == '1') return kL1;
            if (band == '2') return kB1I;
            if (band == '5') return kL5;
            if (band == '6') return kB3;
            if (band == '7') return kE5b;
            if (band == '8') return kE5;
            return std::nullopt;
        case 'I':
            if (band == '5') return kL5;
            if (band == '9') return kS;
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

}  // namespace tessora::rtcm
