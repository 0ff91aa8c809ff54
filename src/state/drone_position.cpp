#include "state/drone_position.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

std::atomic<int32_t> g_gpsLat{0};
std::atomic<int32_t> g_gpsLon{0};
std::atomic<int32_t> g_gpsAlt{0};
std::atomic<uint8_t> g_gpsFix{0};
std::atomic<int64_t> g_flyctrlHeardMs{-1};

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr double kPi = 3.141592653589793;
constexpr double kAxis = 6378245.0;               // Krasovsky ellipsoid, semi-major axis
constexpr double kEe = 0.006693421622965943;      // its eccentricity squared
constexpr double kLatScale = 19903725.87215939;   // kAxis * (1 - kEe) * pi
constexpr double kDegPerRad = 57.29577951308232;  // 180 / pi
constexpr double kSixPi = 18.84955592153876;
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

void MavlinkSetGPSPosition(int32_t latitude, int32_t longitude) {
    g_gpsLat.store(latitude);
    g_gpsLon.store(longitude);
}

void MavlinkSetGPSAltitude(int32_t tenths) {
    g_gpsAlt.store(tenths);
}

void MavlinkResetGPSInfo() {
    g_gpsLat.store(0);
    g_gpsLon.store(0);
    g_gpsAlt.store(0);
    g_gpsFix.store(0);
}

void MavlinkSetGPSFix(uint8_t fixType) {
    g_gpsFix.store(fixType);
}

uint8_t MavlinkGetGPSFix() {
    return g_gpsFix.load();
}

void MavlinkFlyctrlHeard() {
    g_flyctrlHeardMs.store(steady_ms());
}

int64_t MavlinkFlyctrlSilentMs() {
    const int64_t at = g_flyctrlHeardMs.load();
    return at < 0 ? -1 : steady_ms() - at;
}

int32_t MavlinkGetGPSLatitude() {
    return g_gpsLat.load();
}
int32_t MavlinkGetGPSLongtitude() {
    return g_gpsLon.load();
}
int32_t MavlinkGetGPSAltitude() {
    return g_gpsAlt.load();
}

int isOutOfChina(double lat, double lon) {
    return (lon < 72.004 || lon > 137.8347 || lat < 0.8293 || lat > 55.8271) ? 1 : 0;
}

double transformLat(double x, double y) {
    double ret =
        -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    ret += (std::sin(kSixPi * x) + std::sin(kTwoPi * x)) * 40.0 / 3.0;
    ret += (20.0 * std::sin(kPi * y) + 40.0 * std::sin(kPi * y / 3.0)) * 2.0 / 3.0;
    ret += (160.0 * std::sin(kPi * y / 12.0) + 320.0 * std::sin(kPi * y / 30.0)) * 2.0 / 3.0;
    return ret;
}

double transformLon(double x, double y) {
    double ret = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    ret += (std::sin(kSixPi * x) + std::sin(kTwoPi * x)) * 40.0 / 3.0;
    ret += (20.0 * std::sin(kPi * x) + 40.0 * std::sin(kPi * x / 3.0)) * 2.0 / 3.0;
    ret += (150.0 * std::sin(kPi * x / 12.0) + 300.0 * std::sin(kPi * x / 30.0)) * 2.0 / 3.0;
    return ret;
}

int GPSConvert(float* latOut, float* lonOut, double lat, double lon) {
    if (latOut == nullptr || lonOut == nullptr) return -1;
    if (isOutOfChina(lat, lon) != 0) {
        *latOut = static_cast<float>(lat);
        *lonOut = static_cast<float>(lon);
        printf("GPS out of china.\n");
        return 0;
    }
    const double dLat = transformLat(lon - 105.0, lat - 35.0);
    const double dLon = transformLon(lon - 105.0, lat - 35.0);
    const double radLat = lat / 180.0 * kPi;
    const double s = std::sin(radLat);
    const double magic = 1.0 - kEe * s * s;
    const double sqrtMagic = std::sqrt(magic);
    const double outLat = lat + dLat * 180.0 / (kLatScale / (magic * sqrtMagic));
    const double outLon = lon + dLon * kDegPerRad / ((kAxis / sqrtMagic) * std::cos(radLat));
    *latOut = static_cast<float>(outLat);
    *lonOut = static_cast<float>(outLon);
    printf("GPS inside of china.%f %f %lf %lf\n", static_cast<double>(*lonOut),
           static_cast<double>(*latOut), lon, lat);
    return 0;
}
