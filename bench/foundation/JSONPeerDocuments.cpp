// A document for the peer benchmarks of JSONPeerBench.cpp, made apart from
// the parsers measured there (see the note by its declaration there).
#include <cstdio>
#include <random>
#include <string>

// ~2 MB of polygons of [lon, lat] pairs, as the number-heavy document of
// the peer benchmarks, with every double at full precision (seventeen
// significant digits, as a writer that round-trips doubles gives them),
// beyond the digits a double holds exactly.
const std::string& fullPrecisionNumbers() {
    static const std::string text = [] {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90);
        auto exact = [](double d) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", d);
            return std::string(buffer);
        };
        std::string out = R"({"type":"MultiPolygon","coordinates":[)";
        for (int polygon = 0; out.size() < 2'000'000; ++polygon) {
            out += polygon ? ",[[" : "[[";
            for (int point = 0; point < 64; ++point)
                out += (point ? ",[" : "[") + exact(lon(random)) + "," + exact(lat(random)) + "]";
            out += "]]";
        }
        return out + "]}";
    }();
    return text;
}
